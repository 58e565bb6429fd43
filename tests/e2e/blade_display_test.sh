#!/usr/bin/env bash
# The service on a simulated blade, the three steps of the demo: at the start
# the secondary display taken off the desktop and clone mode selected; with
# the diagnostic adapter plugged "RDP" and 1024 x 768, changed from the input
# desktop (Winlogon's: nobody is logged on), while the adapter's display
# takes the second controller; after the unplug clone mode again. Started
# with "-d", so the log holds the policy's messages at their own level and
# indentation, without the entry and exit lines; the whole log from the
# header on, each step's calls to the graphics hardware and the desktops,
# and the desktop after each step are compared whole. The expected lines
# are in blade_lines.sh, which the pilot page quotes.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/blade_lines.sh"
e2e_begin blade_display

e2e_install_standins
xvsim_display set blade
e2e_install

# Waits (10 s) for the call that ends a clone-mode run; a run that ended
# before it shows in the comparisons that follow.
wait_for_the_mode_walk() {
  local deadline=$((SECONDS + 10))
  until xvsim_ati log | grep -qxF -- "$blade_walk_end"; do
    [ "$SECONDS" -lt "$deadline" ] || return 0
    sleep 0.1
  done
}
seen=2 # the header and the empty line after it
# The log's lines since the last step.
step_lines() { e2e_trace_marked | tail -n +"$((seen + 1))"; }
step_done() {
  seen=$(e2e_trace_log | wc -l)
  xvsim_ati clear-log
}

e2e_log "start"
e2e_start_service -d
wait_for_the_mode_walk
log=$(e2e_trace_log)
assert_trace_header "$log"
start_lines=$(
  blade_start_lines
  blade_inventory 0x00000001 yes
  blade_detach 1
  blade_checks 0x00000003 2
  blade_clone_selected
)
assert_eq "$start_lines" "$(step_lines)" "start: the log from the header on"
assert_eq "$(
  blade_notes
  blade_probe 0
  blade_detach_calls
  blade_queries 0 0x00000003 2
  blade_clone_calls 0
  blade_mode_walk 1280x1024
)" "$(xvsim_ati log)" "start: the calls to the graphics hardware"
assert_eq "$(blade_desktop blade "1280 x 1024" no 0x00000002 "clone mode" 0x00000003)" "$(xvsim_display show)" \
  "start: the desktop"
step_done

e2e_log "plug"
e2e_raise plug
e2e_wait_calls "CloseDesktop Winlogon -> 1"
assert_eq "$(
  echo "@ Diagnostic adapter attached"
  blade_attached_path
  echo "@ Changed resolution to 1024x768"
)" "$(step_lines)" "plug: the policy's lines"
assert_eq "$(blade_resolution_calls)" "$(xvsim_ati log)" "plug: the calls"
assert_eq "$(blade_desktop blade "1024 x 768 (registry: 1280 x 1024)" no 0x00000000 "not clone mode" 0x00000001)" \
  "$(xvsim_display show)" "plug: the desktop"
assert_contains "$(wmisim setting)" 'setting: "RDP"' "plug: the firmware setting"
step_done

e2e_log "unplug"
e2e_raise unplug
wait_for_the_mode_walk
assert_eq "$(
  echo "@ Diagnostic adapter detached"
  blade_inventory 0x00000000
  blade_checks 0x00000003 2
  blade_clone_selected
)" "$(step_lines)" "unplug: the policy's lines"
assert_eq "$(
  blade_probe 0
  blade_queries 0 0x00000003 2
  blade_clone_calls 0
  blade_mode_walk 1024x768
)" "$(xvsim_ati log)" "unplug: the calls"
assert_eq "$(blade_desktop blade "1024 x 768 (registry: 1280 x 1024)" no 0x00000002 "clone mode" 0x00000003)" \
  "$(xvsim_display show)" "unplug: the desktop"
assert_contains "$(wmisim setting)" 'setting: "TLV"' "unplug: the firmware setting"
step_done

e2e_stop_service
assert_eq "@ $blade_stopped" "$(step_lines)" "stop: the log's last lines"
assert_eq "$blade_started"$'\n'"$blade_stopped" "$(e2e_event_infos)" "information entries"
assert_eq "" "$(e2e_event_errors)" "error entries"
e2e_log "passed"
