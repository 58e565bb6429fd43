#!/usr/bin/env bash
# Builds everything, checks formatting and static analysis (scripts/lint.sh;
# any finding fails), then runs every test under Wine; ends with CTest's
# summary. Extra arguments go to ctest (for example: -L trace) and run only
# that subset, without the lint step.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

xv_install_packages
xv_build
if [ $# -eq 0 ]; then
  xv_check_product_image
  "$XV_ROOT/scripts/lint.sh"
else
  xv_log "A subset of the tests: no lint step (scripts/lint.sh runs it alone)"
fi

prefix="$XV_BUILD/wineprefix"
trap 'xv_wine_down "$prefix"' EXIT
xv_log "Starting the Wine server for $prefix"
xv_wine_up "$prefix"

xv_log "Running the tests"
cd "$XV_BUILD"
ctest --output-on-failure -j "$(nproc)" "$@"
