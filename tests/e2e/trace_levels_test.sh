#!/usr/bin/env bash
# The start parameters set what the trace log gets: "-d" messages only, no
# parameter only the header. Two runs of the service in one prefix.
source "$(dirname "$0")/lib.sh"
e2e_begin trace_levels

e2e_install_standins
e2e_install

e2e_log "start with -d"
e2e_start_service -d
e2e_wait_trace "TLV is not running, we're done"
e2e_stop_service
log=$(e2e_trace_log)
assert_trace_header "$log"
if grep -qE '^ *(>>|<<) ' <<<"$log"; then e2e_fail "entry or exit lines with -d:
$log"; fi
assert_in_order "$(e2e_trace_texts)" "messages with -d" \
  "Windows:" "Started XV Vistrell" "Set session protocol to TLV" "TLV is not running, we're done" \
  "Stopped XV Vistrell"
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries with -d"

e2e_log "start without a parameter"
e2e_events_mark
wmisim log --clear
e2e_start_service
e2e_wait_waiter
e2e_stop_service
log=$(e2e_trace_log)
assert_eq 2 "$(e2e_trace_log | wc -l)" "lines without a parameter"
assert_trace_header "$log"
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries without a parameter"
assert_eq "" "$(e2e_event_errors)" "error entries"
# The policy ran all the same.
assert_contains "$(wmisim log)" "SetBIOSSetting" "firmware written without a parameter"
e2e_log "passed"
