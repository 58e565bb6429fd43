#!/usr/bin/env bash
# display_sets_test.sh ROW...: one start of the service with "-d" for each
# row, in one prefix. A row is a display set of the simulated blade, or the
# blade with the diagnostic adapter attached and one desktop call failing.
# Each run's level-1 view is compared whole, from the header to the stop,
# and so are its calls to the graphics hardware and the desktops, and the
# desktop after it.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/blade_lines.sh"
e2e_begin display_sets
[ $# -gt 0 ] || e2e_fail "no rows given"

# The rows' own lines and calls, between the start's and the stop's.
rdp_lines() {
  echo "@ Set session protocol to TLV"
  blade_primary 0
  blade_secondary 1 0x00000001 yes
  blade_telvane 2
  blade_rdp 3
  printf '%s\n' "RDP is connected: true" "Connected via RDP, we're done"
}
no_telvane_lines() {
  echo "@ Set session protocol to TLV"
  blade_primary 0
  blade_secondary 1 0x00000001 yes
  printf '%s\n' "RDP is connected: false" "TLV is running: false" "TLV is not running, we're done"
}
local_lines() {
  blade_inventory 0x00000000
  printf '%s\n' "Monitor 0 is a CRT" "Monitor 1 is a DFP" "Bit vector of connected displays: 0x00000001" \
    "Local diagnostic adapter connected, we're done"
}
local_calls() {
  blade_probe 0
  printf '%s\n' "EnumDisplays 0 0 -> 1 kind=2" "EnumDisplays 0 1 -> 1 kind=4" "EnumDisplays 0 2 -> 0" \
    "GetConnectedDisplays 0 -> 0 0x00000001"
}
one_controller_lines() {
  blade_inventory 0x00000000
  blade_checks 0x00000003 1
  echo "ATI controller is in an unexpected state"
}
one_controller_calls() {
  blade_probe 0
  blade_queries 0 0x00000003 1
}
clone_lines() { blade_clone_kept; }
clone_calls() {
  blade_probe 0
  blade_queries 0 0x00000003 2
  echo "GetConfiguration 0 8 -> 0 0x00000001 0x00000002"
  blade_mode_walk 1280x1024
}
# The ATI adapter third in Windows' order, second among the attached
# devices: index 1 for every call, and the stand-in answers for no other.
behind_lines() {
  echo "@ Set session protocol to TLV"
  blade_telvane 0
  blade_onboard 1
  blade_primary 2
  blade_secondary 3 0x00000001 yes
  printf '%s\n' "RDP is connected: false" "TLV is running: true" "First ATI adapter found (id = 0x00001002)"
  blade_detach 2
  blade_checks 0x00000003 2
  blade_clone_selected
}
behind_calls() {
  blade_probe 1
  blade_detach_calls
  blade_queries 1 0x00000003 2
  blade_clone_calls 1
  blade_mode_walk 1280x1024
}
behind_desktop() {
  printf '%s\n' "display set: behind" \
    "adapter        device string                      attached  resolution" \
    "\\\\.\\DISPLAYV1  XV Telvane Driver                  yes       (mirror)" \
    "\\\\.\\DISPLAY3   Standard VGA Graphics Adapter      no        -" \
    "\\\\.\\DISPLAY1   ATI RADEON X1300 Series            yes       1280 x 1024" \
    "\\\\.\\DISPLAY2   ATI RADEON X1300 Series Secondary  no        -" \
    "ATI controllers: 0x00000001 0x00000002 (clone mode), connected displays 0x00000003"
}
# The attached path's resolution change, one desktop call failing.
no_thread_desktop_lines() {
  blade_attached_path
  echo "Unable to get desktop for current thread"
}
no_thread_desktop_calls() { echo "GetThreadDesktop -> NULL (error 87: no desktop for the thread)"; }
no_input_desktop_lines() {
  blade_attached_path
  echo "Unable to get desktop where input is coming from"
}
no_input_desktop_calls() {
  printf '%s\n' "GetThreadDesktop -> Default" \
    "OpenInputDesktop flags=0x00000000 inherit=0 access=0x02000000 -> NULL (error 5: the window station takes no input)" \
    "SetThreadDesktop Default -> 1"
}
desktop_busy_lines() {
  blade_attached_path
  echo "Unable to change desktop of current thread to desktop where input is coming from"
}
desktop_busy_calls() {
  printf '%s\n' "GetThreadDesktop -> Default" \
    "OpenInputDesktop flags=0x00000000 inherit=0 access=0x02000000 -> Winlogon" \
    "SetThreadDesktop Winlogon -> 0 (error 170: the thread has a window on Default)" \
    "SetThreadDesktop Default -> 1" "CloseDesktop Winlogon -> 1"
}
declare -A set_of=([rdp]=rdp [no-telvane]=no-telvane [local]=local [one-controller]=one-controller
  [clone]=clone [behind]=behind [no-thread-desktop]=blade [no-input-desktop]=blade [desktop-busy]=blade)
declare -A failing_call=([no-thread-desktop]=GetThreadDesktop [no-input-desktop]=OpenInputDesktop
  [desktop-busy]=SetThreadDesktop)

e2e_install_standins
e2e_install
for row in "$@"; do
  [ -n "${set_of[$row]:-}" ] || e2e_fail "no row $row"
  e2e_log "row $row"
  name=${row//-/_}
  xvsim_ati reset
  xvsim_display set "${set_of[$row]}"
  if [ -n "${failing_call[$row]:-}" ]; then
    wmisim sensor Present >/dev/null
    xvsim_display fail "${failing_call[$row]}"
  else
    wmisim sensor Absent >/dev/null
  fi
  before=$(xvsim_display show)
  e2e_start_service -d
  e2e_settle_trace "$("${name}_lines" | tail -1 | sed 's/^@ //; s/^ *//')"
  e2e_stop_service
  log=$(e2e_trace_log)
  assert_trace_header "$log"
  assert_eq "$(
    blade_start_lines
    "${name}_lines"
    echo "@ $blade_stopped"
  )" "$(e2e_trace_marked | tail -n +3)" "$row: the log from the header on"
  calls=$(blade_notes)
  if declare -F "${name}_calls" >/dev/null; then calls+=$'\n'$("${name}_calls"); fi
  assert_eq "$calls" "$(xvsim_ati log)" "$row: the calls"
  if declare -F "${name}_desktop" >/dev/null; then
    assert_eq "$("${name}_desktop")" "$(xvsim_display show)" "$row: the desktop"
  else
    assert_eq "$before" "$(xvsim_display show)" "$row: the desktop, as it was"
  fi
done
e2e_log "passed"
