#!/usr/bin/env bash
# The main job: builds xvVistrell.exe and runs it under Wine in a prefix of
# its own, then shows what it left behind.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

xv_install_packages
xv_build

prefix="$XV_BUILD/demo-prefix"
trap 'xv_wine_down "$prefix"' EXIT
xv_wine_up "$prefix"
xv_wine_env "$prefix"

exe="$XV_BUILD/service/xvVistrell.exe"
xv_log "Running $exe under Wine"
wine "$exe" 2>>"$prefix.boot.log" || true

xv_log "Files"
echo "executable: $exe"
echo "trace log:  ${exe%.exe}.txt ($(stat -c %s "${exe%.exe}.txt") bytes)"
echo "Wine prefix: $prefix"
