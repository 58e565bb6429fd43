#!/usr/bin/env bash
# The demo. Builds xvVistrell.exe, makes a fresh Wine prefix with the
# stand-ins (the firmware's WMI provider, the ATI display library, the
# Telvane sender, a blade's display hardware), installs the service and
# starts it with "-t", plugs and unplugs the simulated diagnostic adapter,
# stops and removes the service, then shows what it wrote: the trace log and
# the event-log entries. After each step it prints the simulated desktop and
# the calls the graphics hardware got.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

xv_install_packages
xv_build
export XV_BUILD
source "$XV_ROOT/tests/e2e/lib.sh"
E2E_KEEP=1  # the prefix stays for a look around
e2e_begin demo "$XV_BUILD/demo"

# The calls the simulated graphics hardware got since the last step (the
# walk of the mode list in one line), then the simulated desktop.
show_hardware() {
  echo "calls to the ATI library and the display:"
  xvsim_ati log | awk '
    /^EnumDisplaySettingsA NULL [0-9]+ / { walked++; next }
    walked { print "  EnumDisplaySettingsA NULL 0, 1, ...: mode list walked, " walked - 1 " modes"; walked = 0 }
    { print "  " $0 }
    END { if (walked) print "  EnumDisplaySettingsA NULL 0, 1, ...: mode list walked, " walked - 1 " modes" }'
  xvsim_ati clear-log
  echo "simulated desktop:"
  xvsim_display show | sed 's/^/  /'
}

xv_log "Stand-ins: firmware WMI provider, ATI display library, Telvane sender, a blade's displays"
e2e_install_standins
xvsim_display set blade
echo "firmware: diagnostic adapter $(wmisim sensor | sed 's/^sensor: //'), session protocol $(wmisim setting | sed 's/^setting: //')"
echo "simulated desktop at power-on:"
xvsim_display show | sed 's/^/  /'

xv_log "Installing the service (xvVistrell.exe /install /silent)"
e2e_install
echo "registered: $(svcctl qc xvVistrell | sed -n 's/^display=//p')"

xv_log "Starting it with -t (trace every step)"
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode"
echo "running; session protocol now $(wmisim setting | sed 's/^setting: //')"
show_hardware

xv_log "Plugging in the diagnostic adapter"
e2e_raise plug
e2e_wait_trace "<< DoCustomControl"
echo "session protocol now $(wmisim setting | sed 's/^setting: //')"
# The hardware's side of the plug: the local display takes the ATI adapter
# out of clone mode.
xvsim_ati set Config1 0
echo "(the local display took the ATI adapter's second controller: clone mode is off)"
show_hardware

xv_log "Unplugging it"
e2e_raise unplug
e2e_wait_trace "<< DoCustomControl" 2
echo "session protocol now $(wmisim setting | sed 's/^setting: //')"
show_hardware

xv_log "Stopping and removing the service"
e2e_stop_service
# Every start of the executable, the removal included, begins a new log.
trace_copy=$E2E_DIR/xvVistrell.txt
e2e_trace_log >"$trace_copy"
e2e_uninstall
echo "stopped and uninstalled"

xv_log "Trace log of the run (a copy: $trace_copy)"
echo "(\">>\" and \"<<\" mark where each step begins and ends; the hot-plug watcher's"
echo " and the service thread's lines interleave)"
echo
cat "$trace_copy"

xv_log "Event-log entries (source xvVistrell)"
e2e_event_entries
