#!/usr/bin/env bash
# The firmware's provider fails: unreachable (every connection refused), then
# without the hot-plug event class. Two runs of the service in one prefix.
source "$(dirname "$0")/lib.sh"
e2e_begin firmware_failures

e2e_install_standins
e2e_install

e2e_log "firmware unreachable"
wmisim fail connect 0x8004100E >/dev/null
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode"
message="Error connecting to WMI namespace."
# The sensor cannot be read: an error entry, and the adapter counts as attached.
assert_eq "$message" "$(e2e_event_errors)" "error entries"
policy=$(e2e_trace_section ">> enable_clone_mode" "<< enable_clone_mode")
assert_in_order "$policy" "policy run with the firmware unreachable" \
  ">> is_dongle_attached" "$message" "<< is_dongle_attached" \
  "Cannot enable clone mode because local diagnostics adapter is connected" \
  ">> set_session_protocol" "Set session protocol to RDP" "$message" "<< set_session_protocol" \
  ">> set_resolution" "<< set_resolution" "<< enable_clone_mode"
# The write failed: no read-back, no time-out.
assert_not_contains "$policy" "remote_session_protocol" "policy run with the firmware unreachable"
assert_not_contains "$policy" "Timed out waiting for session protocol to be set" "policy run with the firmware unreachable"
assert_not_contains "$policy" "ATI_enable_clone_mode" "policy run with the firmware unreachable"
assert_contains "$(wmisim setting)" 'setting: "TLV"' "firmware setting untouched"
assert_eq 4 "$(e2e_state xvVistrell)" "state with the firmware unreachable"
e2e_stop_service
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"
assert_eq "$message" "$(e2e_event_errors)" "error entries after the stop"

e2e_log "hot-plug event class missing"
e2e_events_mark
wmisim reset >/dev/null
wmisim fail notification-query 0x80041010 >/dev/null
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode"
e2e_wait_trace ">> WMI_wait_for_notification"
# The watcher's one wait ends in the error and the watcher with it: the wait's
# entry line stands alone, nothing reaches the event log.
deadline=$((SECONDS + $(e2e_scaled 10)))
until wmisim log | grep -q "ExecNotificationQuery"; do
  [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the watcher never asked for the hot-plug event"
  sleep 0.1
done
sleep 0.5
assert_eq 1 "$(e2e_trace_count ">> WMI_wait_for_notification")" "waits of the watcher"
assert_eq 0 "$(e2e_trace_count "<< WMI_wait_for_notification")" "waits of the watcher that returned"
assert_eq 0 "$(wmisim waiters)" "subscriptions to the hot-plug event"
assert_contains "$(wmisim plug)" ": 0 waiter(s)" "plug without a watcher"
sleep 0.5
assert_eq 0 "$(e2e_trace_count "Diagnostic adapter attached")" "adapter events served without a watcher"
assert_eq 4 "$(e2e_state xvVistrell)" "state without a watcher"
assert_contains "$(e2e_trace_section ">> enable_clone_mode" "<< enable_clone_mode")" \
  "TLV is not running, we're done" "policy run without the event class"
e2e_stop_service
assert_in_order "$(e2e_trace_texts)" "stop without a watcher" \
  ">> ServiceStop" "Stopped XV Vistrell" "<< ServiceStop" "<< ServiceExecute"
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
e2e_log "passed"
