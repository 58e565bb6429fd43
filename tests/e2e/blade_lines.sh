# The lines a run on the simulated blade (sim/display) writes: the trace
# log's level-1 view ("-d"), each line whole, "@ " standing for the local
# time in front of a timed message (e2e_trace_marked), and the call log of
# the graphics hardware and the desktops. Sourced by the end-to-end tests
# of the blade and by the pilot page's generator (tests/e2e/pilot_lines.sh),
# so the page quotes what the tests compare.

# The service's information entries in the event log at its start and stop.
blade_started="Started XV Vistrell"
blade_stopped="Stopped XV Vistrell"

blade_video='\Registry\Machine\System\CurrentControlSet\Control\Video\{5A2B8F31-6E0C-4D7B-9A61-3C1E2F6B0D42}'

# The start's lines before the policy run; Wine reports Windows 7 SP1.
blade_start_lines() {
  printf '%s\n' "@ Windows:" "  Major version: 6" "  Minor version: 1" "  Build: 7601" \
    "  CSD version: Service Pack 1" "@ $blade_started"
}

# blade_adapter N DEVICE NAME STATE ID KEY [attached]: the inventory's lines of one device.
blade_adapter() {
  printf '%s\n' "Adapter $1" "  Device: $2" "  Name:   $3" "  State:  $4" "  PnP ID: $5" "  Key:    $6"
  if [ -n "${7:-}" ]; then echo "  Attached to desktop"; fi
}
blade_primary() {
  blade_adapter "$1" '\\.\DISPLAY1' "ATI RADEON X1300 Series" 0x00000015 \
    'PCI\VEN_1002&DEV_7187&SUBSYS_30001002&REV_00' "$blade_video\\0000" yes
}
# blade_secondary N STATE [attached]
blade_secondary() {
  blade_adapter "$1" '\\.\DISPLAY2' "ATI RADEON X1300 Series Secondary" "$2" \
    'PCI\VEN_1002&DEV_71A7&SUBSYS_30011002&REV_00' "$blade_video\\0001" "${3:-}"
}
blade_telvane() {
  blade_adapter "$1" '\\.\DISPLAYV1' "XV Telvane Driver" 0x00000009 "" \
    '\Registry\Machine\System\CurrentControlSet\Services\xvtlvdd\Device0' yes
}
blade_rdp() {
  blade_adapter "$1" '\\.\DISPLAYV2' "RDPDD Chained DD" 0x00000009 "" \
    '\Registry\Machine\System\CurrentControlSet\Services\RDPDD\Device0' yes
}
blade_onboard() {
  blade_adapter "$1" '\\.\DISPLAY3' "Standard VGA Graphics Adapter" 0x00000010 \
    'PCI\VEN_102B&DEV_0522&SUBSYS_3381103C&REV_02' \
    '\Registry\Machine\System\CurrentControlSet\Control\Video\{0C4F4D7E-2B7A-4E5C-8D21-6A0F3B9E1C55}\0000'
}

# blade_inventory SECONDARY_STATE [attached]: the clone-mode path's lines up
# to the ATI adapter found, on the blade's three devices.
blade_inventory() {
  echo "@ Set session protocol to TLV"
  blade_primary 0
  blade_secondary 1 "$1" "${2:-}"
  blade_telvane 2
  printf '%s\n' "RDP is connected: false" "TLV is running: true" "First ATI adapter found (id = 0x00001002)"
}

# blade_detach N: the secondary display, adapter N of the list, taken off the desktop.
blade_detach() {
  printf '%s\n' "Disabling adapter $1 (ATI RADEON X1300 Series Secondary)" \
    "Updated adapter \\\\.\\DISPLAY2's registery settings" "Detached adapter from desktop"
}

# blade_checks CONNECTED CONTROLLERS: the monitors, the connected displays and the capabilities.
blade_checks() {
  printf '%s\n' "Monitor 0 is a CRT" "Monitor 1 is a DFP" "Bit vector of connected displays: $1" \
    "Adapter has $2 controllers and 2 monitor ports"
}

# blade_configuration TITLE CONTROLLER1: one of the two configuration blocks.
blade_configuration() {
  printf '%s\n' "$1" "  Controller 0 monitor bit vector: 0x00000001" "  Controller 1 monitor bit vector: $2"
}

# Clone mode selected from controller 1 driving nothing.
blade_clone_selected() {
  blade_configuration "Current display configuration:" 0x00000000
  blade_configuration "New display configuration:" 0x00000002
}

# A clone-mode run on the blade already in clone mode.
blade_clone_kept() {
  blade_inventory 0x00000000
  blade_checks 0x00000003 2
  blade_configuration "Current display configuration:" 0x00000002
  echo "Desktop is already configured in clone mode"
}

# The attached path up to the resolution change.
blade_attached_path() {
  printf '%s\n' "@ Cannot enable clone mode because local diagnostics adapter is connected" \
    "@ Set session protocol to RDP"
}

# --- the call log ---------------------------------------------------------

# The stand-ins' notes when the service loads the ATI library.
blade_notes() {
  printf '%s\n' "attach error-mode=0x00008000" "display stand-in: 11 imports of xvVistrell.exe replaced"
}

# blade_probe INDEX [DEVICE]: the primary's device context and identifier.
blade_probe() {
  printf '%s\n' "CreateDCA ${2:-\\\\.\\DISPLAY1} -> a device context" "ATIDL_GetAdapterID $1 -> 0 id=0x00001002" \
    "DeleteDC -> 1"
}

blade_detach_calls() {
  printf '%s\n' 'ChangeDisplaySettingsExA \\.\DISPLAY2 0x0 at 0,0 fields=0x00180020 flags=0x10000009 -> 0' \
    "ChangeDisplaySettingsExA NULL NULL flags=0x00000000 -> 0"
}

# blade_queries INDEX CONNECTED CONTROLLERS
blade_queries() {
  printf '%s\n' "EnumDisplays $1 0 -> 1 kind=2" "EnumDisplays $1 1 -> 1 kind=4" "EnumDisplays $1 2 -> 0" \
    "GetConnectedDisplays $1 -> 0 $2" "GetCapabilities $1 -> 0 controllers=$3 ports=2"
}

# blade_clone_calls INDEX: clone mode read, selected and read back.
blade_clone_calls() {
  printf '%s\n' "GetConfiguration $1 8 -> 0 0x00000001 0x00000000" \
    "SetConfiguration $1 8 0x00000001 0x00000002 -> 0" "GetConfiguration $1 8 -> 0 0x00000001 0x00000002"
}

# blade_mode_walk CURRENT: the walk that makes Windows pick up the
# configuration, through the clone mode's list.
blade_mode_walk() {
  printf '%s\n' "EnumDisplaySettingsA NULL -1 -> $1" "EnumDisplaySettingsA NULL 0 -> 640x480" \
    "EnumDisplaySettingsA NULL 1 -> 800x600" "EnumDisplaySettingsA NULL 2 -> 1024x768" \
    "EnumDisplaySettingsA NULL 3 -> 1280x1024" "EnumDisplaySettingsA NULL 4 -> 2560x1024" \
    "EnumDisplaySettingsA NULL 5 -> 1280x2048" "EnumDisplaySettingsA NULL 6 -> none"
}
blade_walk_end="EnumDisplaySettingsA NULL 6 -> none"

# The resolution change from the input desktop, back on the service's own
# desktop before the input desktop is closed.
blade_resolution_calls() {
  printf '%s\n' "GetThreadDesktop -> Default" \
    "OpenInputDesktop flags=0x00000000 inherit=0 access=0x02000000 -> Winlogon" "SetThreadDesktop Winlogon -> 1" \
    "ChangeDisplaySettingsA 1024x768 fields=0x00180000 flags=0x00000000 on Winlogon -> 0" \
    "SetThreadDesktop Default -> 1" "CloseDesktop Winlogon -> 1"
}

# blade_desktop SET RESOLUTION SECONDARY CONTROLLER1 STATE CONNECTED: xvsim-display show.
blade_desktop() {
  local secondary_mode="-"
  [ "$3" = no ] || secondary_mode="1280 x 1024"
  printf '%s\n' "display set: $1" \
    "adapter        device string                      attached  resolution" \
    "\\\\.\\DISPLAY1   ATI RADEON X1300 Series            yes       $2" \
    "$(printf '%-14s %-34s %-9s %s' '\\.\DISPLAY2' "ATI RADEON X1300 Series Secondary" "$3" "$secondary_mode")" \
    "\\\\.\\DISPLAYV1  XV Telvane Driver                  yes       (mirror)" \
    "ATI controllers: 0x00000001 $4 ($5), connected displays $6"
}
