#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec: what /install gives in
# one fresh prefix is the reference; in a second fresh prefix the package must
# refuse cleanly where it cannot install, register the same service, survive
# /install run over it, upgrade in place and remove what it installed.
# Under XV_ARCH=x86_64 the packages are the 64-bit ones of that build
# (packaging/make-msi.sh), so they install into the same C:\Program Files\
# folder of the 64-bit prefix as the 32-bit product does in a 32-bit one.
source "$(dirname "$0")/lib.sh"
E2E_MSI=${XV_MSI:?XV_MSI must name the package}
E2E_UPGRADE_MSI=${XV_UPGRADE_MSI:?XV_UPGRADE_MSI must name the newer test package}
E2E_UPGRADE_EXE=${XV_UPGRADE_EXE:?XV_UPGRADE_EXE must name the newer test executable}
E2E_EVENT_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'

# msiexec_run LOG ARGS...: msiexec silently with a verbose log in $E2E_DIR/LOG
# (kept with the prefix when the test fails); its exit code in $MSI_STATUS.
# A Windows exit code reaches the shell only modulo 256 (1603 arrives as 67),
# so a batch file inside the prefix waits for msiexec and prints the whole one.
msiexec_run() {
  local log=$E2E_DIR/$1 batch=$E2E_DIR/msiexec.cmd output
  shift
  printf '@echo off\r\nstart "" /wait msiexec %%*\r\necho msiexec-exit=%%ERRORLEVEL%%\r\n' >"$batch"
  output=$(wine cmd /c "$(winepath -w "$batch")" "$@" /qn /l*v "$(winepath -w "$log")" \
    2>>"$E2E_DIR/msiexec.stderr" </dev/null | tr -d '\r') || true  # cmd ends with that code too
  MSI_STATUS=$(sed -n 's/^msiexec-exit=//p' <<<"$output")
  [ -n "$MSI_STATUS" ] || e2e_fail "msiexec $*: no exit code in [$output]"
}

# The error number with which "svcctl qc NAME" fails (0: the service exists),
# as svcctl prints it: its exit code, too, is cut to 8 bits (1060 arrives as 36).
svcctl_qc_error() {
  local error
  error=$(wine "$E2E_SVCCTL" qc "$1" 2>&1 >/dev/null </dev/null | tr -d '\r' |
    sed -n 's/^[A-Za-z]* failed: error \([0-9]*\)$/\1/p') || true
  echo "${error:-0}"
}

# The custom actions' own lines in a verbose log, without the prefix.
setup_lines() { tr -d '\r' <"$E2E_DIR/$1" | sed -n 's/^xvVistrell setup: //p'; }

# Both event sources' values, sorted, or "NAME: none".
event_sources() {
  local source
  for source in xvVistrell xvVistrell.exe; do
    e2e_wine reg query "$E2E_EVENT_KEY\\$source" | tr -d '\r' | grep REG_ | sed "s/^ */$source: /" | sort ||
      echo "$source: none"
  done
}

# count_xv_vistrell KEY: how many subkeys of KEY have the display name
# "XV Vistrell" (services; installed products under the Uninstall key).
count_xv_vistrell() {
  e2e_wine reg query "$1" /s | tr -d '\r' | grep -cxE ' +DisplayName +REG_SZ +XV Vistrell' || true
}
E2E_SERVICES_KEY='HKLM\SYSTEM\CurrentControlSet\Services'
E2E_PRODUCTS_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

assert_nothing_installed() { # WHAT
  [ ! -e "$E2E_INSTALL_DIR/xvVistrell.exe" ] || e2e_fail "$1: xvVistrell.exe left in the installation folder"
  [ ! -e "$E2E_INSTALL_DIR/THIRD-PARTY-NOTICES.txt" ] || e2e_fail "$1: the notices left in the installation folder"
  assert_eq 1060 "$(svcctl_qc_error xvVistrell)" "$1: error querying xvVistrell"
  assert_eq $'xvVistrell: none\nxvVistrell.exe: none' "$(event_sources)" "$1: event sources"
  assert_eq 0 "$(count_xv_vistrell "$E2E_PRODUCTS_KEY")" "$1: installed products"
}

e2e_log "reference: /install in a fresh prefix"
e2e_begin msi_reference
e2e_install
reference_config=$(svcctl qc xvVistrell)
reference_sources=$(event_sources)
assert_contains "$reference_config" "path=\"$E2E_INSTALLED_EXE_WIN\"" "reference configuration"
wineserver -k
wineserver -w
[ -n "${E2E_KEEP:-}" ] || rm -rf "$E2E_DIR"

e2e_begin msi_package
# The setup actions judge the installed file by the rule of /install, inside
# msiexec: for the reason e2e_as_windows_xp gives, msiexec is told it runs on
# Windows XP for the whole case.
wine reg add 'HKCU\Software\Wine\AppDefaults\msiexec.exe' /v Version \
  /d "$([ "$WINEARCH" = win64 ] && echo winxp64 || echo winxp)" /f >/dev/null 2>&1
rm -f "$E2E_INSTALL_DIR/xvVistrell.exe"  # the harness put a copy there for /install
MSI_WIN=$(winepath -w "$E2E_MSI")
UPGRADE_MSI_WIN=$(winepath -w "$E2E_UPGRADE_MSI")

e2e_log "the service control manager refuses the registration: all rolled back"
e2e_wine sc create xvBlocker binpath= 'C:\windows\system32\notepad.exe' displayname= "XV Vistrell" >/dev/null
msiexec_run refused.log /i "$MSI_WIN"
assert_eq 1603 "$MSI_STATUS" "msiexec exit code of a refused registration"
assert_nothing_installed "after the rollback"
assert_contains "$(svcctl qc xvBlocker)" "display=XV Vistrell" "the other service"
e2e_wine sc delete xvBlocker >/dev/null

# Wine makes a DACL up from the Unix mode: o+w reads back as Everyone modify.
e2e_log "an installation folder that others can change: refused with the text of /install, all rolled back"
mkdir -p "$WINEPREFIX/drive_c/XV"
chmod o+w "$WINEPREFIX/drive_c/XV"
msiexec_run unsafe_folder.log /i "$MSI_WIN" 'INSTALLDIR=C:\XV\'
assert_eq 1603 "$MSI_STATUS" "msiexec exit code of an installation into C:\XV"
assert_eq $'no service xvVistrell to wait for\nThe account Everyone can change the folder C:\\XV, so it could replace C:\\XV\\xvVistrell.exe, which runs as LocalSystem. Move the program into a folder under Program Files, or let only SYSTEM and Administrators change the folder and the file, then install again.' \
  "$(setup_lines unsafe_folder.log)" "the setup actions' lines of that run"
assert_nothing_installed "after the refusal of C:\XV"
assert_eq "" "$(ls -A "$WINEPREFIX/drive_c/XV" 2>/dev/null || true)" "files left in C:\XV"
rm -rf "$WINEPREFIX/drive_c/XV"

e2e_log "a service registered by /install: the package refuses, nothing changes"
mkdir -p "$WINEPREFIX/drive_c/xv"
cp "$E2E_EXE" "$WINEPREFIX/drive_c/xv/xvVistrell.exe"
e2e_as_windows_xp wine 'C:\xv\xvVistrell.exe' /install /silent 2>/dev/null </dev/null
own_config=$(svcctl qc xvVistrell)
msiexec_run over_install.log /i "$MSI_WIN"
# Wine's installer shows a launch condition's text only with a user interface.
assert_eq 1603 "$MSI_STATUS" "msiexec exit code over a service of /install"
assert_eq "$own_config" "$(svcctl qc xvVistrell)" "the service of /install"
[ ! -e "$E2E_INSTALL_DIR/xvVistrell.exe" ] || e2e_fail "the refused package installed its file"
assert_eq 0 "$(count_xv_vistrell "$E2E_PRODUCTS_KEY")" "installed products after the refusal"
wine 'C:\xv\xvVistrell.exe' /uninstall /silent 2>/dev/null </dev/null
assert_nothing_installed "after /uninstall"
rm -rf "$WINEPREFIX/drive_c/xv"

e2e_log "install with /qn: the service of /install, not started"
msiexec_run install.log /i "$MSI_WIN"
assert_eq 0 "$MSI_STATUS" "msiexec exit code of the installation"
assert_eq "$reference_config" "$(svcctl qc xvVistrell)" "configuration against /install's"
assert_eq "$reference_sources" "$(event_sources)" "event sources against /install's"
cmp -s "$E2E_EXE" "$E2E_INSTALL_DIR/xvVistrell.exe" || e2e_fail "installed file differs from the built one"
cmp -s <(sed 's/$/\r/' "$(dirname "$0")/../../packaging/notices.txt") "$E2E_INSTALL_DIR/THIRD-PARTY-NOTICES.txt" ||
  e2e_fail "the licence notices are not installed beside the executable, with Windows line ends"
assert_eq 1 "$(e2e_state xvVistrell)" "state after the installation"

e2e_log "/install over the package: refused with its message, nothing changed"
e2e_install
assert_eq 'Error|Service \"XV Vistrell\" failed to install with error: \"System Error.  Code: 1073.\r\nService exists.\"' \
  "$(e2e_installer_dialogs)" "dialog of /install over the package"
assert_eq "$reference_config" "$(svcctl qc xvVistrell)" "configuration after /install over the package"

e2e_log "start and stop with the stand-ins"
e2e_install_standins
e2e_start_service
e2e_stop_service
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"

e2e_log "repair while running: stopped for the run, running again afterwards"
e2e_start_service
e2e_events_mark
# Wine's msiexec /f with the package's path ends with 1605 (unknown product):
# the same repair through the installer's properties.
msiexec_run repair.log /i "$MSI_WIN" REINSTALL=ALL REINSTALLMODE=vomus
assert_eq 0 "$MSI_STATUS" "msiexec exit code of the repair"
e2e_wait_state xvVistrell 4 15
assert_eq $'Stopped XV Vistrell\nStarted XV Vistrell' "$(e2e_event_infos)" "information entries of the repair"
e2e_stop_service

e2e_log "repair of a service an administrator stopped: it stays stopped"
e2e_events_mark
msiexec_run repair_stopped.log /i "$MSI_WIN" REINSTALL=ALL REINSTALLMODE=vomus
assert_eq 0 "$MSI_STATUS" "msiexec exit code of the repair of the stopped service"
assert_eq 1 "$(e2e_state xvVistrell)" "state after the repair of the stopped service"
assert_eq "" "$(e2e_event_infos)" "information entries of the repair of the stopped service"

e2e_log "upgrade while running: stopped, replaced in place, one service, running again"
e2e_start_service
e2e_events_mark
msiexec_run upgrade.log /i "$UPGRADE_MSI_WIN"
assert_eq 0 "$MSI_STATUS" "msiexec exit code of the upgrade"
e2e_wait_state xvVistrell 4 15
assert_eq $'Stopped XV Vistrell\nStarted XV Vistrell' "$(e2e_event_infos)" "information entries of the upgrade"
assert_eq "$reference_config" "$(svcctl qc xvVistrell)" "configuration after the upgrade"
assert_eq 1 "$(count_xv_vistrell "$E2E_SERVICES_KEY")" "services named XV Vistrell after the upgrade"
assert_eq 1 "$(count_xv_vistrell "$E2E_PRODUCTS_KEY")" "installed products after the upgrade"
cmp -s "$E2E_UPGRADE_EXE" "$E2E_INSTALL_DIR/xvVistrell.exe" || e2e_fail "the installed file is not the newer one"
assert_eq 1 "$(find "$WINEPREFIX/drive_c" -iname xvVistrell.exe | wc -l)" "copies of xvVistrell.exe after the upgrade"

e2e_log "uninstall while running: stopped, service, file and event sources gone"
msiexec_run uninstall.log /x "$UPGRADE_MSI_WIN"
assert_eq 0 "$MSI_STATUS" "msiexec exit code of the removal"
e2e_wait_process_gone xvVistrell.exe 10
assert_nothing_installed "after the removal"
[ -e "$E2E_TRACE_LOG" ] || e2e_fail "the service's own trace log was removed with the package"
e2e_log "passed"
