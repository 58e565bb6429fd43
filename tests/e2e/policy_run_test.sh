#!/usr/bin/env bash
# One run of the service with "-t" and the stand-ins: the start and its
# policy run, the diagnostic adapter plugged and unplugged, an event with an
# unexpected text, a custom code from another process, the stop. Wine's own
# display adapter is neither the Telvane nor an ATI adapter, so every
# clone-mode run ends with "TLV is not running, we're done".
source "$(dirname "$0")/lib.sh"
e2e_begin policy_run

e2e_install_standins
# Another value than the one the start writes, so the write shows.
wmisim setting RDP >/dev/null
e2e_install

e2e_log "start with -t"
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode"
e2e_wait_waiter

log=$(e2e_trace_log)
assert_trace_header "$log"
assert_eq $'<< process_command_line_arguments\n@ Windows:\n  Major version: 6\n  Minor version: 1\n  Build: 7601\n  CSD version: Service Pack 1' \
  "$(e2e_trace_lines_marked | sed -n 3,8p)" "first traced lines: the version block (Wine reports Windows 7 SP1)"
assert_not_contains "$log" ">> ServiceStart" "trace log"
assert_not_contains "$log" ">> process_command_line_arguments" "trace log"

texts=$(e2e_trace_texts_marked)
bindings=()
for export in ATIDL_DisplayGetEdidData EnumDisplays ATIDL_GetActiveDisplays ATIDL_GetAdapterID \
  GetCapabilities GetConfiguration GetConnectedDisplays ATIDL_GetDisplaySettings ATIDL_GetDisplayVector \
  SetConfiguration; do
  bindings+=("Getting address of exported function $export")
done
assert_in_order "$texts" "start" \
  "<< process_command_line_arguments" "@ Windows:" \
  ">> ATI_load_display_interface_functions" "${bindings[@]}" "<< ATI_load_display_interface_functions" \
  "@ Started XV Vistrell" "<< ServiceStart" ">> ServiceExecute"
policy=$(e2e_trace_section ">> enable_clone_mode" "<< enable_clone_mode")
assert_in_order "$policy" "policy run at start" \
  ">> enable_clone_mode" \
  ">> is_dongle_attached" ">> WMI_read_property" "<< WMI_read_property" "<< is_dongle_attached" \
  ">> set_session_protocol" "@ Set session protocol to TLV" \
  ">> WMI_write_property" "<< WMI_write_property" \
  ">> remote_session_protocol" "<< remote_session_protocol" "<< set_session_protocol" \
  ">> ATI_enable_clone_mode" ">> verify_configuration_and_get_ATI_adapter" \
  ">> enumerate_adapters" "Adapter 0" "Name:   Wine Adapter" "Attached to desktop" "<< enumerate_adapters" \
  ">> is_RDP_connection" "RDP is connected: false" "<< is_RDP_connection" \
  ">> is_TLV_running" "TLV is running: false" "<< is_TLV_running" \
  "TLV is not running, we're done" "<< enable_clone_mode"
# Read back at the first poll.
assert_eq 1 "$(grep -cxF ">> remote_session_protocol" <<<"$policy")" "read-back polls at start"
assert_not_contains "$policy" "Timed out waiting for session protocol to be set" "policy run at start"
assert_not_contains "$policy" "Cannot enable clone mode" "policy run at start"
assert_contains "$(wmisim setting)" 'setting: "TLV"' "firmware setting after the start"
calls=$(wmisim log)
assert_contains "$calls" 'Blade Dongle State' "firmware calls at start (sensor read)"
assert_contains "$calls" 'SetBIOSSetting' "firmware calls at start (setting written)"
assert_contains "$calls" '"TLV"' "firmware calls at start (value written)"
assert_contains "$calls" "XVBIOS_BIOSEvent" "firmware calls at start (watcher subscribed)"
assert_eq "Started XV Vistrell" "$(e2e_event_infos)" "information entries after the start"
assert_contains "$(xvsim_ati log)" "attach error-mode=" "ATI library loaded"

e2e_log "plug"
wmisim log --clear
e2e_raise plug
e2e_wait_trace "<< DoCustomControl"
section=$(e2e_trace_section "@ Diagnostic adapter attached" "<< DoCustomControl")
assert_in_order "$section" "plug" \
  "@ Diagnostic adapter attached" ">> enable_clone_mode" ">> is_dongle_attached" "<< is_dongle_attached" \
  "@ Cannot enable clone mode because local diagnostics adapter is connected" \
  ">> set_session_protocol" "@ Set session protocol to RDP" ">> remote_session_protocol" \
  "<< remote_session_protocol" "<< set_session_protocol" \
  ">> set_resolution" "<< set_resolution" "<< enable_clone_mode" "<< DoCustomControl"
assert_not_contains "$section" "Timed out waiting for session protocol to be set" "plug"
# Wine's virtual screen is 1024 x 768 already: nothing to change.
assert_not_contains "$section" "Changed resolution to" "plug"
assert_not_contains "$section" "ATI_enable_clone_mode" "plug"
assert_contains "$(wmisim setting)" 'setting: "RDP"' "firmware setting after plug"
assert_contains "$(wmisim log)" '"RDP"' "firmware calls after plug (value written)"
assert_in_order "$(e2e_trace_texts_marked)" "watcher after plug" \
  "<< WMI_wait_for_notification" ">> ServiceController" "@ Diagnostic adapter attached"

e2e_log "unplug"
e2e_raise unplug
e2e_wait_trace "<< DoCustomControl" 2
section=$(e2e_trace_section "@ Diagnostic adapter detached" "<< DoCustomControl")
assert_in_order "$section" "unplug" \
  "@ Diagnostic adapter detached" ">> enable_clone_mode" ">> is_dongle_attached" "<< is_dongle_attached" \
  ">> set_session_protocol" "@ Set session protocol to TLV" "<< set_session_protocol" \
  ">> ATI_enable_clone_mode" "TLV is not running, we're done" "<< enable_clone_mode" "<< DoCustomControl"
assert_not_contains "$section" "Cannot enable clone mode" "unplug"
assert_not_contains "$section" "set_resolution" "unplug"
assert_contains "$(wmisim setting)" 'setting: "TLV"' "firmware setting after unplug"

e2e_log "unexpected event texts"
for text in present ""; do
  e2e_raise raise "$text"
  e2e_wait_trace "Got an unexpected value ($text) for the state from the WMI call to wait for a notification when the BladeDongleState is changed"
done
# The watcher waits again; no policy ran.
e2e_wait_waiter
assert_eq 2 "$(e2e_trace_count ">> DoCustomControl")" "custom controls after the unexpected texts"
assert_eq 3 "$(e2e_trace_count ">> enable_clone_mode")" "policy runs after the unexpected texts"

e2e_log "custom code 200"
assert_contains "$(e2e_control xvVistrell 200)" "state=4" "custom code 200"
e2e_wait_trace "<< DoCustomControl" 3
# The dispatcher thread may finish its ServiceController lines meanwhile.
assert_eq $'>> DoCustomControl\n<< DoCustomControl' \
  "$(e2e_trace_section ">> DoCustomControl" "<< DoCustomControl" 3 | grep -v ServiceController)" \
  "custom code 200 served"
assert_eq 3 "$(e2e_trace_count ">> enable_clone_mode")" "policy runs after code 200"
assert_eq 4 "$(e2e_state xvVistrell)" "state after code 200"

e2e_log "stop"
e2e_stop_service
assert_in_order "$(e2e_trace_section ">> ServiceStop" "<< ServiceExecute")" "stop" \
  ">> ServiceStop" ">> ATI_free_display_interface_functions" "<< ATI_free_display_interface_functions" \
  "@ Stopped XV Vistrell" "<< ServiceStop" "<< ServiceExecute"
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
assert_eq 1 "$(xvsim_ati log | grep -c .)" "ATI calls (only the load: no ATI adapter to query)"
assert_eq 4 "$(e2e_state tlvsender)" "Telvane sender still running"
e2e_log "passed"
