#!/usr/bin/env bash
# plug_unplug_test.sh PREFIX WMISIM WMI_CALL
# Drives the stand-in firmware from the shell with wmisim while another
# process blocks in the WMI layer's event wait: each wait returns the text of
# the event raised after it subscribed, and nothing stays held.
set -euo pipefail
prefix=$1 wmisim=$2 wmi_call=$3
run() { "$(dirname "$0")/../../scripts/wine-run" "$prefix" "$@" 2>>"$prefix.boot.log"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
event_query="select Description from XVBIOS_BIOSEvent where Name = 'Blade Dongle State'"
sensor_query="SELECT CurrentState FROM XV_BIOSNumericSensor WHERE Name = 'Blade Dongle State'"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Starts a wait, then runs the given wmisim command once it has subscribed;
# the wait must have returned the expected text.
expect_event() {
  local expected=$1; shift
  run "$wmi_call" wait root/WMI "$event_query" Description >"$work/out" &
  local waiter=$!
  run "$wmisim" wait-waiter 30000 >/dev/null || fail "the wait never subscribed"
  kill -0 "$waiter" 2>/dev/null || fail "the wait returned before any event"
  run "$wmisim" "$@"
  wait "$waiter" || fail "the wait failed: $(cat "$work/out")"
  [ "$(cat "$work/out")" = "$expected" ] || fail "wait gave '$(cat "$work/out")', want '$expected'"
  echo "wait returned '$expected' after: wmisim $*"
}

run "$wmisim" reset >/dev/null
# An event nobody waits for is lost.
run "$wmisim" raise Lost | grep -q ': 0 waiter' || fail "an event without waiter was delivered"

expect_event Present plug
[ "$(run "$wmi_call" read root/XV/InstrumentedBIOS "$sensor_query" CurrentState)" = Present ] ||
  fail "sensor not Present after plug"
expect_event Absent unplug
[ "$(run "$wmi_call" read root/XV/InstrumentedBIOS "$sensor_query" CurrentState)" = Absent ] ||
  fail "sensor not Absent after unplug"
expect_event "Some other text" raise "Some other text"

# Bad arguments: a clear message and exit status 2.
set +e
run "$wmisim" fail no-such-step >/dev/null 2>"$work/err"; status=$?
set -e
[ "$status" -eq 2 ] || fail "a bad step gave exit status $status"

[ "$(run "$wmisim" live)" = 0 ] || fail "objects still alive: $(run "$wmisim" live)"
[ "$(run "$wmisim" waiters)" = 0 ] || fail "a subscription is still open"
run "$wmisim" reset >/dev/null
echo "PASS"
