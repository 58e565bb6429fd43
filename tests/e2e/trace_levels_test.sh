#!/usr/bin/env bash
# The start parameters set what the trace log gets: "-d" the messages, each
# timed one with the local time in front; no parameter only the header. Two
# runs of the service in one prefix, in a time zone 5 h 30 min ahead of UTC,
# so a time written in UTC cannot pass for the local one.
source "$(dirname "$0")/lib.sh"
export TZ=XVT-5:30
e2e_begin trace_levels

e2e_install_standins
e2e_install

e2e_log "start with -d"
hours=$(date +%-H)
e2e_start_service -d
e2e_wait_trace "TLV is not running, we're done"
e2e_stop_service
hours="$hours $(date +%-H)"
log=$(e2e_trace_log)
assert_trace_header "$log"
# Wine's display adapter, as the inventory lists it; its key names the
# prefix's own video device.
video_key=$(e2e_wine reg query 'HKLM\HARDWARE\DEVICEMAP\VIDEO' /v '\Device\Video0' | tr -d '\r' |
  sed -n 's/.*REG_SZ *//p')
assert_eq "$(printf '%s\n' "@ Windows:" "  Major version: 6" "  Minor version: 1" "  Build: 7601" \
  "  CSD version: Service Pack 1" "@ Started XV Vistrell" "@ Set session protocol to TLV" \
  "Adapter 0" '  Device: \\.\DISPLAY1' "  Name:   Wine Adapter" "  State:  0x00000015" \
  '  PnP ID: PCI\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00' "  Key:    $video_key" "  Attached to desktop" \
  "RDP is connected: false" "TLV is running: false" "TLV is not running, we're done" "@ Stopped XV Vistrell")" \
  "$(e2e_trace_lines_marked | tail -n +3)" "the log with -d"
# The times are the zone's local time, not UTC.
assert_eq 4 "$(e2e_trace_hours | grep -c .)" "timed lines"
for hour in $(e2e_trace_hours); do
  [[ " $hours " == *" $hour "* ]] || e2e_fail "a timed line at hour $hour; the local hour was $hours (UTC $(date -u +%-H))"
done
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
