#!/usr/bin/env bash
# Builds everything and runs every test under Wine; ends with CTest's summary.
# Extra arguments go to ctest (for example: -L trace).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

xv_install_packages
xv_build

prefix="$XV_BUILD/wineprefix"
trap 'xv_wine_down "$prefix"' EXIT
xv_log "Starting the Wine server for $prefix"
xv_wine_up "$prefix"

xv_log "Running the tests"
cd "$XV_BUILD"
ctest --output-on-failure -j "$(nproc)" "$@"
