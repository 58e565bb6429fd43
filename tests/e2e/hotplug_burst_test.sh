#!/usr/bin/env bash
# 200 plug and unplug events in a row. The watcher subscribes anew after each
# event and an event raised between two subscriptions is lost, so each one is
# raised as soon as the watcher waits again, without waiting for the policy
# run of the one before: runs queue up and nest inside each other's polling.
# Every event must be served, in order, and the service must live on.
source "$(dirname "$0")/lib.sh"
e2e_begin hotplug_burst

readonly events=200
e2e_install_standins
e2e_install
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode"
e2e_wait_waiter
# The COM objects the service holds while its watcher waits.
live=$(wmisim live)

e2e_log "raising $events events"
expected=()
for ((i = 1; i <= events; i++)); do
  # The previous event's wait has returned, so the subscription that
  # wait-waiter sees is the next one.
  e2e_wait_trace "<< WMI_wait_for_notification" $((i - 1))
  if ((i % 2)); then
    e2e_raise plug
    expected+=("@ Diagnostic adapter attached")
  else
    e2e_raise unplug
    expected+=("@ Diagnostic adapter detached")
  fi
done

e2e_log "waiting for the runs to end"
e2e_wait_trace "<< DoCustomControl" "$events" 120
e2e_wait_trace "<< enable_clone_mode" $((events + 1)) 30
served=$(e2e_trace_texts_marked | grep -xE '@ Diagnostic adapter (attached|detached)')
assert_eq "$(printf '%s\n' "${expected[@]}")" "$served" "adapter events served, in order"
assert_eq "$events" "$(e2e_trace_count ">> DoCustomControl")" "custom controls"
assert_eq 4 "$(e2e_state xvVistrell)" "state after the burst"
assert_contains "$(wmisim setting)" 'setting: "TLV"' "firmware setting after the last unplug"
e2e_wait_waiter
assert_eq "$live" "$(wmisim live)" "COM objects held after the burst"
e2e_raise plug
e2e_wait_trace "Diagnostic adapter attached" $((events / 2 + 1))
e2e_stop_service
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
e2e_log "passed"
