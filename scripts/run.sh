#!/usr/bin/env bash
# The demo. Builds xvVistrell.exe, makes a fresh Wine prefix with the
# stand-ins (the firmware's WMI provider, the ATI display library, the
# Telvane sender, a blade's display hardware), installs the service and
# starts it with "-t", plugs and unplugs the simulated diagnostic adapter,
# stops and removes the service, then shows what it wrote: the trace log and
# the event-log entries. After each step it prints the simulated desktop and
# the calls the graphics hardware and the desktops got, apart from the
# stand-ins' own notes. What the demo does itself, it says.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

xv_install_packages
xv_build
export XV_BUILD
source "$XV_ROOT/tests/e2e/lib.sh"
E2E_KEEP=1  # the prefix stays for a look around
e2e_begin demo "$XV_BUILD/demo"

# What the stand-ins wrote since the last step: their own notes apart from
# the calls the simulated graphics hardware and desktops got (the walk of the
# mode list in one line), then the simulated desktop. The demo empties the
# call log after each step.
notes='^(attach |display stand-in: )'
show_hardware() {
  local calls
  calls=$(xvsim_ati log)
  if grep -qE "$notes" <<<"$calls"; then
    echo "the stand-ins' own notes (not calls):"
    grep -E "$notes" <<<"$calls" | sed 's/^/  /'
  fi
  echo "calls to the ATI library, the display and the desktops:"
  grep -vE "$notes" <<<"$calls" | awk '
    /^EnumDisplaySettingsA NULL [0-9]+ / { walked++; next }
    walked { print "  EnumDisplaySettingsA NULL 0, 1, ...: mode list walked, " walked - 1 " modes (summed up by the demo)"; walked = 0 }
    { print "  " $0 }
    END { if (walked) print "  EnumDisplaySettingsA NULL 0, 1, ...: mode list walked, " walked - 1 " modes (summed up by the demo)" }'
  xvsim_ati clear-log
  echo "simulated desktop:"
  xvsim_display show | sed 's/^/  /'
}

setting() { wmisim setting | sed 's/^setting: //'; }

xv_log "Stand-ins: firmware WMI provider, ATI display library, Telvane sender, a blade's displays"
echo "the demo registers the firmware stand-in in its fresh Wine prefix, copies the ATI library"
echo "stand-in into its system directory and starts the Telvane sender stand-in"
e2e_install_standins
echo "the demo chooses the simulated blade: xvsim-display set blade"
xvsim_display set blade
echo "firmware: diagnostic adapter $(wmisim sensor | sed 's/^sensor: //'), session protocol $(setting)"
echo "simulated desktop at power-on:"
xvsim_display show | sed 's/^/  /'

xv_log "Installing the service (xvVistrell.exe /install /silent)"
echo "the demo runs: xvVistrell.exe /install /silent"
e2e_install
echo "registered: $(svcctl qc xvVistrell | sed -n 's/^display=//p')"

xv_log "Starting it with -t (trace every step)"
echo "the demo runs: sc start xvVistrell -t"
e2e_start_service -t
e2e_wait_trace "<< enable_clone_mode"
echo "running; session protocol now $(setting)"
show_hardware

xv_log "Plugging in the diagnostic adapter"
echo "the demo plugs the simulated adapter in: wmisim plug (its display takes the ATI adapter's"
echo "second controller, then the firmware raises its event)"
e2e_raise plug
e2e_wait_trace "<< DoCustomControl"
echo "session protocol now $(setting)"
show_hardware

xv_log "Unplugging it"
echo "the demo unplugs it: wmisim unplug"
e2e_raise unplug
e2e_wait_trace "<< DoCustomControl" 2
echo "session protocol now $(setting)"
show_hardware

xv_log "Stopping and removing the service"
echo "the demo runs: sc stop xvVistrell, then xvVistrell.exe /uninstall /silent"
e2e_stop_service
# Every start of the executable, the removal included, begins a new log.
trace_copy=$E2E_DIR/xvVistrell.txt
e2e_trace_log >"$trace_copy"
e2e_uninstall
echo "stopped and uninstalled"

xv_log "Trace log of the run (a copy: $trace_copy)"
echo "(the demo copied it before the removal, which starts a new log;"
echo " \">>\" and \"<<\" mark where each step begins and ends; the hot-plug watcher's"
echo " and the service thread's lines interleave)"
echo
cat "$trace_copy"

xv_log "Event-log entries (source xvVistrell)"
echo "(the demo reads them from Wine's debug output: Wine's event log stores none)"
e2e_event_entries
