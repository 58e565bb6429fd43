#!/usr/bin/env bash
# The ATI display library cannot be bound: missing altogether, then without
# one of its exports. Either way the service does not start and no watcher
# runs. Two starts in one prefix.
source "$(dirname "$0")/lib.sh"
e2e_begin ati_library

e2e_install_standins none
e2e_install

e2e_log "library missing"
e2e_start xvVistrell -t
e2e_wait_state xvVistrell 1 15
e2e_wait_process_gone xvVistrell.exe 10
assert_eq "Unable to load ATI DLL" "$(e2e_event_errors)" "error entries"
assert_eq "" "$(e2e_event_infos)" "information entries"
texts=$(e2e_trace_texts_marked)
assert_in_order "$texts" "start without the library" \
  "<< process_command_line_arguments" "@ Windows:" ">> ATI_load_display_interface_functions" \
  "Unable to load ATI DLL" "<< ServiceStart"
for absent in "Getting address of exported function" "Started XV Vistrell" "ServiceExecute" \
  "enable_clone_mode" "WMI_wait_for_notification" "ServiceStop"; do
  assert_not_contains "$texts" "$absent" "start without the library"
done
assert_eq "" "$(wmisim log)" "firmware calls without the library"

e2e_log "an export missing"
e2e_events_mark
e2e_install_ati missing_export
e2e_start xvVistrell -t
e2e_wait_state xvVistrell 1 15
e2e_wait_process_gone xvVistrell.exe 10
assert_eq "" "$(e2e_event_infos)" "information entries"
errors=$(e2e_event_errors)
assert_eq 1 "$(grep -c . <<<"$errors")" "error entries"
# Wine prints the entry's CR LF as \r\n.
assert_contains "$errors" "Service failed on start: System Error.  Code: 127.\\r\\n$(e2e_system_text 127)" \
  "error entry"
texts=$(e2e_trace_texts_marked)
assert_in_order "$texts" "start with an export missing" \
  ">> ATI_load_display_interface_functions" \
  "Getting address of exported function ATIDL_GetDisplaySettings" \
  "Getting address of exported function ATIDL_GetDisplayVector"
for absent in "Getting address of exported function SetConfiguration" "<< ATI_load_display_interface_functions" \
  "<< ServiceStart" "Started XV Vistrell" "ServiceExecute" "WMI_wait_for_notification"; do
  assert_not_contains "$texts" "$absent" "start with an export missing"
done
assert_contains "$(xvsim_ati log)" "attach error-mode=" "library loaded"
assert_eq "" "$(wmisim log)" "firmware calls with an export missing"
e2e_log "passed"
