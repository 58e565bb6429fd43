#!/usr/bin/env bash
# The firmware never applies a written session protocol: 20 read-back polls,
# then the time-out line. A stop sent while a later run polls is served
# inside the polling; the polling runs on to its end, the rest of that run
# finds the ATI library released, and the service stops.
source "$(dirname "$0")/lib.sh"
e2e_begin protocol_timeout

e2e_install_standins
# "RDP" stays while a written "TLV" waits for ever.
wmisim setting RDP >/dev/null
wmisim delay never >/dev/null
e2e_install

e2e_log "start: the setting never applies"
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode" 1 20
polling=$(e2e_trace_section "@ Set session protocol to TLV" "<< set_session_protocol")
assert_eq 20 "$(grep -cxF ">> remote_session_protocol" <<<"$polling")" "read-back polls"
assert_in_order "$polling" "time-out" \
  "@ Set session protocol to TLV" "<< remote_session_protocol" \
  "Timed out waiting for session protocol to be set" "<< set_session_protocol"
assert_in_order "$(e2e_trace_section ">> enable_clone_mode" "<< enable_clone_mode")" "policy run after the time-out" \
  "<< set_session_protocol" "TLV is not running, we're done" "<< enable_clone_mode"
assert_contains "$(wmisim setting)" "never applied" "firmware setting"

e2e_log "stop while an adapter event's run polls"
e2e_raise unplug
e2e_wait_trace "Set session protocol to TLV" 2
e2e_stop xvVistrell
e2e_wait_trace ">> ServiceStop"
# Stopping, while the polling goes on: the state is read first, so it was
# read during the polling if the second time-out has not come after it (a
# slow machine may see the polling end first; the check then proves nothing).
state=$(e2e_state xvVistrell)
[ "$(e2e_trace_count "Timed out waiting for session protocol to be set")" -eq 1 ] &&
  assert_eq 3 "$state" "state while the polling goes on"
e2e_wait_state xvVistrell 1 20
e2e_wait_process_gone xvVistrell.exe 10
# The control request's own entry traces on the requesting thread, so it is
# left out of the service thread's order.
run=$(e2e_trace_section "@ Diagnostic adapter detached" "<< DoCustomControl" | grep -v "ServiceController$")
assert_in_order "$run" "stop served inside the polling" \
  "@ Diagnostic adapter detached" ">> enable_clone_mode" "@ Set session protocol to TLV" \
  ">> ServiceStop" ">> ATI_free_display_interface_functions" \
  "<< ATI_free_display_interface_functions" "@ Stopped XV Vistrell" "<< ServiceStop" \
  ">> remote_session_protocol" "Timed out waiting for session protocol to be set" "<< set_session_protocol" \
  ">> ATI_enable_clone_mode" \
  "Call ATI_load_display_interface_functions before calling ATI_enable_clone_mode" \
  "<< enable_clone_mode" "<< DoCustomControl"
polling=$(e2e_trace_section "@ Set session protocol to TLV" "<< set_session_protocol" 2)
assert_eq 20 "$(grep -cxF ">> remote_session_protocol" <<<"$polling")" "read-back polls around the stop"
assert_eq 1 "$(e2e_trace_count ">> ServiceStop")" "stops served"
assert_in_order "$(e2e_trace_texts_marked)" "end of the run" "<< DoCustomControl" "<< ServiceExecute"
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
e2e_log "passed"
