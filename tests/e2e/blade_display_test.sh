#!/usr/bin/env bash
# The service on a simulated blade, the three steps of the demo: at the start
# the secondary display taken off the desktop and clone mode selected; with
# the diagnostic adapter plugged "RDP" and 1024 x 768; after the unplug clone
# mode again. Started with "-d", so the log holds the policy's messages at
# their own level and indentation, without the entry and exit lines (whose
# indentation the watcher thread's lines shift); each step's lines, its calls
# to the graphics hardware and the desktop after it are compared whole.
source "$(dirname "$0")/lib.sh"
e2e_begin blade_display

e2e_install_standins
xvsim_display set blade
e2e_install

video='\Registry\Machine\System\CurrentControlSet\Control\Video\{5A2B8F31-6E0C-4D7B-9A61-3C1E2F6B0D42}'
# adapter N DEVICE NAME STATE ID KEY [attached]: the inventory's lines of one device.
adapter() {
  printf '%s\n' "Adapter $1" "  Device: $2" "  Name:   $3" "  State:  $4" "  PnP ID: $5" "  Key:    $6"
  if [ -n "${7:-}" ]; then echo "  Attached to desktop"; fi
}
# inventory SECONDARY_STATE [attached]: the run's lines up to the ATI adapter found.
inventory() {
  echo "Set session protocol to TLV"
  adapter 0 '\\.\DISPLAY1' "ATI RADEON X1300 Series" 0x00000015 'PCI\VEN_1002&DEV_7187&SUBSYS_30001002&REV_00' \
    "$video\\0000" yes
  adapter 1 '\\.\DISPLAY2' "ATI RADEON X1300 Series Secondary" "$1" 'PCI\VEN_1002&DEV_71A7&SUBSYS_30011002&REV_00' \
    "$video\\0001" "${2:-}"
  adapter 2 '\\.\DISPLAYV1' "XV Telvane Driver" 0x00000009 "" \
    '\Registry\Machine\System\CurrentControlSet\Services\xvtlvdd\Device0' yes
  printf '%s\n' "RDP is connected: false" "TLV is running: true" "First ATI adapter found (id = 0x00001002)"
}
ati_checks=("Monitor 0 is a CRT" "Monitor 1 is a DFP" "Bit vector of connected displays: 0x00000003"
  "Adapter has 2 controllers and 2 monitor ports" "Current display configuration:"
  "  Controller 0 monitor bit vector: 0x00000001")
# desktop RESOLUTION: the simulated desktop with the secondary display off it, clone mode.
desktop() {
  printf '%s\n' "display set: blade" \
    "adapter        device string                      attached  resolution" \
    "\\\\.\\DISPLAY1   ATI RADEON X1300 Series            yes       $1" \
    "\\\\.\\DISPLAY2   ATI RADEON X1300 Series Secondary  no        -" \
    "\\\\.\\DISPLAYV1  XV Telvane Driver                  yes       (mirror)" \
    "ATI controllers: 0x00000001 0x00000002 (clone mode)"
}
# mode_walk CURRENT: the calls that make Windows pick up the configuration.
mode_walk() {
  printf '%s\n' "EnumDisplaySettingsA NULL -1 -> $1" "EnumDisplaySettingsA NULL 0 -> 640x480" \
    "EnumDisplaySettingsA NULL 1 -> 800x600" "EnumDisplaySettingsA NULL 2 -> 1024x768" \
    "EnumDisplaySettingsA NULL 3 -> 1280x1024" "EnumDisplaySettingsA NULL 4 -> 1600x1200" \
    "EnumDisplaySettingsA NULL 5 -> none"
}
probe=('CreateDCA \\.\DISPLAY1 -> a device context' "ATIDL_GetAdapterID 0 -> 0 id=0x00001002" "DeleteDC -> 1")
ati_queries=("EnumDisplays 0 0 -> 1 kind=2" "EnumDisplays 0 1 -> 1 kind=4" "EnumDisplays 0 2 -> 0"
  "GetConnectedDisplays 0 -> 0 0x00000003" "GetCapabilities 0 -> 0 controllers=2 ports=2")
seen=0
# The log's lines since the last step.
step_lines() { e2e_trace_lines | tail -n +"$((seen + 1))"; }
step_done() {
  seen=$(e2e_trace_lines | wc -l)
  xvsim_ati clear-log
}

e2e_log "start"
e2e_start_service -d
e2e_wait_calls "EnumDisplaySettingsA NULL 5 -> none"
assert_eq "$(
  inventory 0x00000001 yes
  printf '%s\n' "Disabling adapter 1 (ATI RADEON X1300 Series Secondary)" \
    "Updated adapter \\\\.\\DISPLAY2's registery settings" "Detached adapter from desktop" "${ati_checks[@]}" \
    "  Controller 1 monitor bit vector: 0x00000000" "New display configuration:" \
    "  Controller 0 monitor bit vector: 0x00000001" "  Controller 1 monitor bit vector: 0x00000002"
)" "$(e2e_trace_lines | sed -n '/^Set session protocol to TLV$/,$p')" "start: the policy's lines"
assert_eq "$(
  printf '%s\n' "attach error-mode=0x00008000" "display stand-in: 7 imports of xvVistrell.exe replaced" \
    "${probe[@]}" 'ChangeDisplaySettingsExA \\.\DISPLAY2 0x0 0x10000009 -> 0' \
    "ChangeDisplaySettingsExA NULL NULL 0x00000000 -> 0" "${ati_queries[@]}" \
    "GetConfiguration 0 8 -> 0 0x00000001 0x00000000" "SetConfiguration 0 8 0x00000001 0x00000002 -> 0" \
    "GetConfiguration 0 8 -> 0 0x00000001 0x00000002"
  mode_walk 1280x1024
)" "$(xvsim_ati log)" "start: the calls to the graphics hardware"
assert_eq "$(desktop "1280 x 1024")" "$(xvsim_display show)" "start: the desktop"
step_done

e2e_log "plug"
e2e_raise plug
e2e_wait_trace "Changed resolution to 1024x768"
assert_eq $'Diagnostic adapter attached\nCannot enable clone mode because local diagnostics adapter is connected
Set session protocol to RDP\nChanged resolution to 1024x768' "$(step_lines)" "plug: the policy's lines"
assert_eq "ChangeDisplaySettingsA NULL 1024x768 0x00000000 -> 0" "$(xvsim_ati log)" "plug: the calls"
assert_eq "$(desktop "1024 x 768")" "$(xvsim_display show)" "plug: the desktop"
assert_contains "$(wmisim setting)" 'setting: "RDP"' "plug: the firmware setting"
step_done
# The hardware's side of the plug: the local display takes the ATI adapter
# out of clone mode, so the unplug has to select it again.
xvsim_ati set Config1 0

e2e_log "unplug"
e2e_raise unplug
e2e_wait_calls "EnumDisplaySettingsA NULL 5 -> none"
assert_eq "$(
  echo "Diagnostic adapter detached"
  inventory 0x00000000
  printf '%s\n' "${ati_checks[@]}" "  Controller 1 monitor bit vector: 0x00000000" "New display configuration:" \
    "  Controller 0 monitor bit vector: 0x00000001" "  Controller 1 monitor bit vector: 0x00000002"
)" "$(step_lines)" "unplug: the policy's lines"
assert_eq "$(
  printf '%s\n' "${probe[@]}" "${ati_queries[@]}" "GetConfiguration 0 8 -> 0 0x00000001 0x00000000" \
    "SetConfiguration 0 8 0x00000001 0x00000002 -> 0" "GetConfiguration 0 8 -> 0 0x00000001 0x00000002"
  mode_walk 1024x768
)" "$(xvsim_ati log)" "unplug: the calls"
assert_eq "$(desktop "1024 x 768")" "$(xvsim_display show)" "unplug: the desktop"
assert_contains "$(wmisim setting)" 'setting: "TLV"' "unplug: the firmware setting"

e2e_stop_service
assert_eq $'Started XV Vistrell\nStopped XV Vistrell' "$(e2e_event_infos)" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
e2e_log "passed"
