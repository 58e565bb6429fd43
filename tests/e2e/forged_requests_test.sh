#!/usr/bin/env bash
# Another process posts request messages to the service's threads and closes
# its window: none is served, the window stays, and a normal stop still ends
# the process.
source "$(dirname "$0")/lib.sh"
e2e_begin forged_requests
e2e_null_display  # the service gets its window, as on a blade's desktop

e2e_install_standins
e2e_install
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode"
policy_runs=$(e2e_trace_count ">> enable_clone_mode")
firmware_writes=$(wmisim log | grep -c SetBIOSSetting)

e2e_log "stop, pause, session lock and adapter attached, posted from another process"
for request in "1 0" "2 0" "14 7" "1034 0"; do
  # shellcheck disable=SC2086 # code and event type
  [ "$(svcctl post xvVistrell $request)" != "posted=0" ] || e2e_fail "no thread took the message $request"
done
# Served behind them: a real request.
e2e_control xvVistrell 200 >/dev/null
e2e_wait_trace "<< DoCustomControl"
assert_eq 4 "$(e2e_state xvVistrell)" "state after the forged requests"
assert_eq "$policy_runs" "$(e2e_trace_count ">> enable_clone_mode")" "policy runs"
assert_eq "$firmware_writes" "$(wmisim log | grep -c SetBIOSSetting)" "firmware writes"
assert_eq 0 "$(e2e_trace_count "Diagnostic adapter attached")" "adapter requests served"

e2e_log "WM_CLOSE to the service's window, then a normal stop"
assert_eq "closed=1" "$(svcctl close TxvVistrellApplication)" "WM_CLOSE to the application window"
# Ignored: the second close finds the window and has it answered by the main
# thread's loop (a stop would end the process either way).
assert_eq "closed=1" "$(svcctl close TxvVistrellApplication)" "WM_CLOSE to the window again"
e2e_stop_service
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
e2e_log "passed"
