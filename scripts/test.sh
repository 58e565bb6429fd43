#!/usr/bin/env bash
# Builds everything, checks formatting and static analysis (scripts/lint.sh;
# any finding fails), then runs every test under Wine; ends with CTest's
# summary. Extra arguments go to ctest (for example: -L trace) and run only
# that subset, without the lint step.
#
# XV_ARCH=i686 tests the 32-bit build. Where this machine cannot run 32-bit
# code, the build is made here and CTest runs in an emulated x86 machine with
# 32-bit Wine (scripts/i686-vm.sh), against the same build folder; its
# labelled subset is -L i686, its short smoke run -L i686_smoke.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

xv_install_packages
if [ "$XV_ARCH" = i686 ] && [ -n "${XV_I686_VM:-}" ]; then
  xv_build
  xv_log "The i686 build's tests run in the emulated x86 machine (scripts/i686-vm.sh)"
  exec "$XV_ROOT/scripts/i686-vm.sh" run --local "$XV_BUILD/e2e" --prefix "$XV_BUILD/wineprefix" -- \
    "$XV_ROOT/scripts/test.sh" "$@"
fi
if [ -n "${XV_VM:-}" ]; then
  xv_log "In the i686 test machine: testing the build made outside it in $XV_BUILD"
else
  xv_build
  if [ $# -eq 0 ]; then
    xv_check_product_image
    "$XV_ROOT/scripts/lint.sh"
  else
    xv_log "A subset of the tests: no lint step (scripts/lint.sh runs it alone)"
  fi
fi

prefix="$XV_BUILD/wineprefix"
trap 'xv_wine_down "$prefix"' EXIT
xv_log "Starting the Wine server for $prefix"
xv_wine_up "$prefix"

xv_log "Running the tests"
cd "$XV_BUILD"
# The release's reproducibility check builds two whole releases (minutes): it
# runs only when asked for (-L reproducible, or scripts/release.sh --check).
selection=("$@")
[ $# -gt 0 ] || selection=(-LE reproducible)
ctest --output-on-failure -j "$(nproc)" "${selection[@]}"

# Where this machine runs no 32-bit code, the full run ends with a short run
# of the 32-bit build in the emulated machine: the ATI thunk's cases and one
# service install, start and stop (-L i686_smoke). XV_I686_SMOKE=0 leaves it
# out; XV_I686_VM=1 asks for it where 32-bit code runs too.
if [ $# -eq 0 ] && [ -z "${XV_VM:-}" ] && [ "$XV_ARCH" = x86_64 ] && [ "${XV_I686_SMOKE:-1}" != 0 ] &&
  { [ -n "${XV_I686_VM:-}" ] || ! xv_runs_i386; }; then
  xv_wine_down "$prefix"
  xv_log "The 32-bit build's smoke run in the emulated machine (XV_I686_SMOKE=0 leaves it out)"
  XV_ARCH=i686 XV_BUILD="" XV_I686_VM=1 "$XV_ROOT/scripts/test.sh" -L i686_smoke
fi
