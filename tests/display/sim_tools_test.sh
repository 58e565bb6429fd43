#!/usr/bin/env bash
# sim_tools_test.sh BUILD_DIR PREFIX
# The stand-in's install script and control tool, as the end-to-end tests
# use them from bash.
set -euo pipefail
build=$1
prefix=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
tool="$build/sim/ati/xvsim-ati.exe"
system32="$prefix/drive_c/windows/system32"
failures=0

run_tool() { "$root/scripts/wine-run" "$prefix" "$tool" "$@" 2>/dev/null | tr -d '\r'; }
expect() {  # expect WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    echo "FAILED: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}

for variant in stdcall cdecl missing_export; do
  XV_BUILD=$build "$root/scripts/sim-ati-install" "$prefix" "$variant"
  expect "install $variant" same \
    "$(cmp -s "$build/sim/ati/$variant/atipdlxx.dll" "$system32/atipdlxx.dll" && echo same || echo differs)"
done
XV_BUILD=$build "$root/scripts/sim-ati-install" "$prefix" none
expect "install none" absent "$([ -e "$system32/atipdlxx.dll" ] && echo present || echo absent)"
status=0
XV_BUILD=$build "$root/scripts/sim-ati-install" "$prefix" fastcall 2>/dev/null || status=$?
expect "unknown build" 2 "$status"

run_tool reset
expect "unset" unset "$(run_tool get Controllers)"
run_tool set Controllers 1
run_tool set FailSetConfiguration 0x5
run_tool set MonitorKinds 0,4,9,12
expect "number" 0x00000001 "$(run_tool get Controllers)"
expect "hex number" 0x00000005 "$(run_tool get FailSetConfiguration)"
expect "text" 0,4,9,12 "$(run_tool get MonitorKinds)"
# Another process sees the same state.
expect "registry" 0x1 "$(WINEPREFIX=$prefix WINEDEBUG=-all wine reg query 'HKLM\Software\XVSim\ATI' /v Controllers 2>/dev/null |
  tr -d '\r' | awk '/Controllers/ {print $3}')"
status=0
run_tool set Controllers two >/dev/null || status=$?
expect "bad number" 2 "$status"
expect "log empty" "" "$(run_tool log)"
run_tool reset
expect "reset" unset "$(run_tool get MonitorKinds)"

[ "$failures" -eq 0 ] && echo "all checks passed"
exit "$failures"
