#!/usr/bin/env bash
# Builds everything, checks formatting and static analysis (scripts/lint.sh;
# any finding fails), then runs every test under Wine; ends with CTest's
# summary. Extra arguments go to ctest (for example: -L trace) and run only
# that subset, without the lint step.
#
# The full run covers both architectures on every machine:
# - where 32-bit code runs: the i686 build's lint and suite, then the x86-64
#   twin's lint and suite under 64-bit Wine (XV_TWIN=0 leaves the twin out);
# - where it cannot: the x86-64 build's lint and suite, the 32-bit product
#   image built, read back and linted, and a short run of the 32-bit build in
#   the emulated machine (XV_I686_SMOKE=0 leaves that out).
# A finding or a failure on either architecture fails the command; both run.
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

full_run=$([ $# -eq 0 ] && [ -z "${XV_VM:-}" ] && echo 1 || true)
failed=0
if [ -n "${XV_VM:-}" ]; then
  xv_log "In the i686 test machine: testing the build made outside it in $XV_BUILD"
else
  xv_build
  if [ -n "$full_run" ]; then
    xv_check_product_image
    "$XV_ROOT/scripts/lint.sh" || failed=1
    # The 32-bit image built beside the x86-64 one is analysed as well.
    if [ "$XV_ARCH" = x86_64 ] && [ -z "${XV_I686_LINTED:-}" ]; then
      XV_ARCH=i686 XV_BUILD="$XV_ROOT/build" "$XV_ROOT/scripts/lint.sh" --tidy-only || failed=1
    fi
  else
    xv_log "A subset of the tests: no lint step (scripts/lint.sh runs it alone)"
  fi
fi

prefix="$XV_BUILD/wineprefix"
trap 'xv_wine_down "$prefix"' EXIT
xv_log "Starting the Wine server for $prefix"
xv_wine_up "$prefix" "$XV_BUILD"

xv_log "Running the tests ($XV_ARCH)"
cd "$XV_BUILD"
# The release's reproducibility check builds two whole releases (minutes): it
# runs only when asked for (-L reproducible, or scripts/release.sh --check).
selection=("$@")
[ $# -gt 0 ] || selection=(-LE reproducible)
ctest --output-on-failure -j "$(nproc)" "${selection[@]}" || failed=1
xv_wine_down "$prefix"

if [ -n "$full_run" ] && [ "$XV_ARCH" = i686 ] && [ "${XV_TWIN:-1}" != 0 ]; then
  # Where 32-bit code runs, the x86-64 twin too: a fault that only a 64-bit
  # heap or 64-bit Wine shows is a latent fault of the 32-bit image.
  xv_log "The x86-64 twin: its build, lint and tests under 64-bit Wine (XV_TWIN=0 leaves it out)"
  XV_ARCH=x86_64 XV_BUILD="" XV_I686_SMOKE=0 XV_I686_LINTED=1 "$XV_ROOT/scripts/test.sh" || failed=1
fi

# Where this machine runs no 32-bit code, the full run ends with a short run
# of the 32-bit build in the emulated machine: the ATI thunk's cases, the
# stack overflow's record and one service install, start and stop
# (-L i686_smoke). XV_I686_VM=1 asks for it where 32-bit code runs too.
if [ -n "$full_run" ] && [ "$XV_ARCH" = x86_64 ] && [ "${XV_I686_SMOKE:-1}" != 0 ] &&
  { [ -n "${XV_I686_VM:-}" ] || ! xv_runs_i386; }; then
  xv_log "The 32-bit build's smoke run in the emulated machine (XV_I686_SMOKE=0 leaves it out)"
  XV_ARCH=i686 XV_BUILD="" XV_I686_VM=1 "$XV_ROOT/scripts/test.sh" -L i686_smoke || failed=1
fi
if [ "$failed" -ne 0 ]; then
  xv_log "FAILED: see the lint findings or the failed tests above"
  exit 1
fi
