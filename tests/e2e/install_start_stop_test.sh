#!/usr/bin/env bash
# Install, start, drive, stop and remove the service under Wine's service
# control manager.
source "$(dirname "$0")/lib.sh"
e2e_begin install_start_stop

# Wine makes a DACL up from the Unix mode: o+w reads back as Everyone modify.
e2e_log "install from a folder that others can change: refused, nothing registered"
mkdir -p "$WINEPREFIX/drive_c/tools"
cp "$E2E_EXE" "$WINEPREFIX/drive_c/tools/xvVistrell.exe"
chmod o+w "$WINEPREFIX/drive_c/tools"
e2e_as_windows_xp env WINEDEBUG=-all,+relay wine 'C:\tools\xvVistrell.exe' /install /silent \
  2>"$E2E_DIR/unsafe.stderr" </dev/null
# The relay trace shortens long texts.
dialog=$(grep -F 'Call user32.MessageBoxA' "$E2E_DIR/unsafe.stderr" || true)
assert_contains "$dialog" 'Service \"XV Vistrell\" failed to install with error: \"The account Everyone can change the folder C:\\tools, so it could replace C:\\tools\\xvVistrell.exe, which runs as LocalSystem. Move the program into a folder under Program Files' \
  "dialog of an install from C:\tools"
assert_contains "$dialog" ' "Error",00000010)' "caption and icon of that dialog"
if svcctl qc xvVistrell >/dev/null 2>&1; then e2e_fail "service registered from C:\tools"; fi

# A drive letter whose type Wine's registry says is "network" reads back as
# DRIVE_REMOTE once the prefix boots again.
e2e_log "install from a network drive: refused, nothing registered"
mkdir -p "$E2E_DIR/share/XV"
cp "$E2E_EXE" "$E2E_DIR/share/XV/xvVistrell.exe"
ln -s "$E2E_DIR/share" "$WINEPREFIX/dosdevices/n:"
wine reg add 'HKLM\Software\Wine\Drives' /v n: /d network /f >/dev/null 2>&1
wineserver -k
wineserver -w
wineserver -p
WINEDEBUG=$E2E_DEBUG wine cmd /c exit 0 2>"$E2E_EVENTS" </dev/null
e2e_as_windows_xp env WINEDEBUG=-all,+relay wine 'N:\XV\xvVistrell.exe' /install /silent \
  2>"$E2E_DIR/network.stderr" </dev/null
dialog=$(grep -F 'Call user32.MessageBoxA' "$E2E_DIR/network.stderr" || true)
assert_contains "$dialog" 'Service \"XV Vistrell\" failed to install with error: \"The folder N:\\XV is on a network share, so whoever controls the share could replace N:\\XV\\xvVistrell.exe, which runs as LocalSystem.' \
  "dialog of an install from a network drive"
if svcctl qc xvVistrell >/dev/null 2>&1; then e2e_fail "service registered from a network drive"; fi

# Wine shows a Unix symbolic link as a reparse point by name. Everything the
# link leads to passes, as its target is the place installed from below.
e2e_log "install through a link in the path: refused, nothing registered"
ln -s "$E2E_INSTALL_DIR" "$WINEPREFIX/drive_c/xv"
e2e_as_windows_xp env WINEDEBUG=-all,+relay wine 'C:\xv\xvVistrell.exe' /install /silent \
  2>"$E2E_DIR/link.stderr" </dev/null
dialog=$(grep -F 'Call user32.MessageBoxA' "$E2E_DIR/link.stderr" || true)
assert_contains "$dialog" 'Service \"XV Vistrell\" failed to install with error: \"The folder C:\\xv is a link (a junction, a symbolic link or a volume mounted there): whoever can remove it' \
  "dialog of an install through a link"
if svcctl qc xvVistrell >/dev/null 2>&1; then e2e_fail "service registered through a link"; fi
rm "$WINEPREFIX/drive_c/xv"

e2e_log "install"
e2e_install
assert_eq "" "$(e2e_installer_dialogs)" "dialogs of a silent install"
E2E_CONFIG=$(svcctl qc xvVistrell)
assert_config type 0x110
assert_config start 2
assert_config error 1
assert_config path "\"$E2E_INSTALLED_EXE_WIN\""
assert_config depend tlvsender
assert_config account LocalSystem
assert_config display "XV Vistrell"
assert_config description "Enables the graphics controller to support horizontally and vertically doubled desktop resolutions when the Telvane Sender service is running and the diagnostic adapter is not connected."
for source in xvVistrell xvVistrell.exe; do
  keys=$(e2e_wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$source" | tr -d '\r')
  assert_contains "$keys" "EventMessageFile    REG_EXPAND_SZ    $E2E_INSTALLED_EXE_WIN" "event source $source"
  assert_contains "$keys" "TypesSupported    REG_DWORD    0x7" "event source $source"
done

e2e_log "second install: failure shown, nothing changed"
e2e_install
assert_eq 'Error|Service \"XV Vistrell\" failed to install with error: \"System Error.  Code: 1073.\r\nService exists.\"' \
  "$(e2e_installer_dialogs)" "dialog of the second install"
assert_eq "$E2E_CONFIG" "$(svcctl qc xvVistrell)" "configuration after the second install"

e2e_log "start"
e2e_install_standins
e2e_start xvVistrell -t
e2e_wait_state xvVistrell 4 10
status=$(svcctl query xvVistrell)
assert_contains "$status" "controls=0xFD" "controls accepted while running"
assert_contains "$status" "checkpoint=0" "checkpoint while running"
assert_contains "$status" "waithint=5000" "wait hint"
e2e_process_running xvVistrell.exe || e2e_fail "no xvVistrell.exe process while running"

e2e_log "interrogate, custom code 200, session change refused"
assert_contains "$(e2e_control xvVistrell 4)" "state=4" "interrogate"
assert_contains "$(e2e_control xvVistrell 200)" "state=4" "custom code 200"
if e2e_control xvVistrell 14 >/dev/null; then e2e_fail "ControlService accepted code 14"; fi
assert_eq 4 "$(e2e_state xvVistrell)" "state after the controls"

e2e_log "stop"
e2e_stop xvVistrell
e2e_wait_state xvVistrell 1 10
e2e_wait_process_gone xvVistrell.exe 10
assert_eq 0 "$(svcctl query xvVistrell | sed -n 's/^exit=//p')" "Win32 exit code of the stopped report"
infos=$(e2e_event_infos)
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$infos" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
log=$(e2e_trace_log)
assert_contains "$log" "<< process_command_line_arguments" "trace log"
assert_not_contains "$log" ">> ServiceStart" "trace log"
texts=$(e2e_trace_texts_marked)
assert_in_order "$texts" "trace log" "@ Started XV Vistrell" "@ Stopped XV Vistrell"
assert_eq 3 "$(e2e_trace_count ">> ServiceController")" "requests through ServiceController (interrogate, 200, stop)"
assert_eq 1 "$(e2e_trace_count ">> DoCustomControl")" "custom controls served"

e2e_log "uninstall"
e2e_uninstall
assert_eq "" "$(e2e_installer_dialogs)" "dialogs of a silent uninstall"
if svcctl qc xvVistrell >/dev/null 2>&1; then e2e_fail "service still registered"; fi
for source in xvVistrell xvVistrell.exe; do
  if e2e_wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$source" >/dev/null; then
    e2e_fail "event source $source still registered"
  fi
done
e2e_uninstall
assert_contains "$(e2e_installer_dialogs)" 'Error|Service \"XV Vistrell\" failed to uninstall with error: \"System Error.  Code: 1060.' \
  "dialog of removing a missing service"
e2e_log "passed"
