#!/usr/bin/env bash
# bench.sh [--runs N] [--idle SECONDS]
# Measures xvVistrell under Wine's service control manager against two
# services that do nothing (sim/refservice): "bare" creates no window, "window"
# creates a message-only window before it connects to the service control
# manager, as xvVistrell starts the window system for its message loop. All
# three are installed and run the same way in one fresh prefix with the
# stand-ins; the script prints a table and xvVistrell's ratio to each:
#   - start: from StartService until the service reports running;
#   - stop: from the stop request until it reports stopped;
#   - CPU time (user + system) of the service's process over an idle spell;
#   - the time from a simulated unplug of the diagnostic adapter to the end of
#     the policy run it starts, minus the firmware wait (the 100 ms pause
#     before each read-back of the session protocol; one here, as the
#     stand-in applies the setting at once).
# A measurement, not a test: run it by hand on an otherwise idle machine.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

runs=5
idle=60
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    *) sed -n '2p' "$0" >&2; exit 2 ;;
  esac
done

xv_install_packages
xv_build
export XV_BUILD
source "$XV_ROOT/tests/e2e/lib.sh"
e2e_begin bench "$XV_BUILD/bench"

readonly reference=xvRefService
readonly window_reference=xvRefWindowService
readonly firmware_wait_ms=100
svctimer() { e2e_wine "$XV_BUILD/tests/e2e/svctimer.exe" "$@" | tr -d '\r'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# median NUMBER...: the middle value (the lower of the two middle ones).
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

# timed_ms start|stop NAME [PARAMETERS...]: one start or stop, in ms.
timed_ms() {
  local result
  result=$(svctimer "$@") || e2e_fail "svctimer $*"
  sed -n 's/.* ms=\([0-9.]*\)$/\1/p' <<<"$result"
}

# cpu_ticks PID: user + system time of the process, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# start_stop_ms NAME IMAGE: sets start_ms and stop_ms to the medians of
# $runs starts and stops of the service NAME, whose executable is IMAGE.
start_stop_ms() {
  local name=$1 image=$2 starts=() stops=() i
  for ((i = 0; i < runs; i++)); do
    starts+=("$(timed_ms start "$name")")
    e2e_wait_state "$name" 4 15
    stops+=("$(timed_ms stop "$name")")
    e2e_wait_state "$name" 1 15
    e2e_wait_process_gone "$image" 10
  done
  start_ms=$(median "${starts[@]}")
  stop_ms=$(median "${stops[@]}")
}

# unplug_ms: median over $runs unplugs of the time from the raise (wmisim
# returned) to the end of the policy run, minus the firmware wait. The
# service runs with "-d", whose last message of a run is the "we're done" line.
unplug_ms() {
  local done_text="TLV is not running, we're done" times=() i count raised
  for ((i = 0; i < runs; i++)); do
    count=$(e2e_trace_count "$done_text")
    e2e_wait_waiter
    wmisim unplug >/dev/null
    raised=$(now_ms)
    while [ "$(e2e_trace_count "$done_text")" -le "$count" ]; do sleep 0.002; done
    times+=($(($(now_ms) - raised - firmware_wait_ms)))
  done
  median "${times[@]}"
}

e2e_log "installing the stand-ins, xvVistrell and the reference services"
e2e_install_standins
e2e_install
for image in refservice refservice_window; do
  cp "$XV_BUILD/sim/refservice/$image.exe" "$E2E_INSTALL_DIR/$image.exe"
done
e2e_wine sc create "$reference" binpath= "$E2E_INSTALL_DIR_WIN\\refservice.exe" >/dev/null
e2e_wine sc create "$window_reference" binpath= "$E2E_INSTALL_DIR_WIN\\refservice_window.exe" >/dev/null

e2e_log "start and stop, $runs times each"
start_stop_ms xvVistrell xvVistrell.exe
product_start=$start_ms product_stop=$stop_ms
start_stop_ms "$reference" refservice.exe
reference_start=$start_ms reference_stop=$stop_ms
start_stop_ms "$window_reference" refservice_window.exe
window_start=$start_ms window_stop=$stop_ms

e2e_log "unplug to the end of the policy run, $runs times"
e2e_start_service -d
e2e_wait_trace "TLV is not running, we're done"
product_unplug=$(unplug_ms)
e2e_stop_service

e2e_log "CPU time over $idle s idle, the three services at once"
e2e_start_service
for name in "$reference" "$window_reference"; do
  e2e_start "$name"
  e2e_wait_state "$name" 4 15
done
e2e_wait_waiter
product_pid=$(e2e_process_pids xvVistrell.exe | head -1)
reference_pid=$(e2e_process_pids refservice.exe | head -1)
window_pid=$(e2e_process_pids refservice_window.exe | head -1)
product_before=$(cpu_ticks "$product_pid")
reference_before=$(cpu_ticks "$reference_pid")
window_before=$(cpu_ticks "$window_pid")
sleep "$idle"
tick_ms=$((1000 / $(getconf CLK_TCK)))
product_cpu=$((($(cpu_ticks "$product_pid") - product_before) * tick_ms))
reference_cpu=$((($(cpu_ticks "$reference_pid") - reference_before) * tick_ms))
window_cpu=$((($(cpu_ticks "$window_pid") - window_before) * tick_ms))
e2e_stop_service
e2e_stop "$reference"
e2e_stop "$window_reference"

# ratio A B: A / B to two places, or n/a when B is 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "n/a"; else printf "%.2f", a / b }'; }

printf '\nxvVistrell against do-nothing services, under Wine %s (%s runs, medians)\n\n' \
  "$(wine --version 2>/dev/null | sed 's/^wine-//')" "$runs"
printf '%-48s %10s %10s %10s %9s %9s\n' "" "xvVistrell" "bare" "window" "x bare" "x window" \
  "start -> RUNNING (ms)" "$product_start" "$reference_start" "$window_start" \
  "$(ratio "$product_start" "$reference_start")" "$(ratio "$product_start" "$window_start")" \
  "stop -> STOPPED (ms)" "$product_stop" "$reference_stop" "$window_stop" \
  "$(ratio "$product_stop" "$reference_stop")" "$(ratio "$product_stop" "$window_stop")" \
  "CPU time over $idle s idle (ms)" "$product_cpu" "$reference_cpu" "$window_cpu" \
  "$(ratio "$product_cpu" "$reference_cpu")" "$(ratio "$product_cpu" "$window_cpu")" \
  "unplug -> end of policy run - firmware wait (ms)" "$product_unplug" "n/a" "n/a" "n/a" "n/a"
printf '\n"bare" creates no window; "window" creates a message-only window before it\n'
printf 'connects to the service control manager. "x bare" and "x window" are\n'
printf 'xvVistrell'"'"'s figure divided by the reference'"'"'s.\n'
printf '\nCPU time has the clock-tick resolution of /proc (%s ms). The unplug time\n' "$tick_ms"
printf 'counts from the simulated event to the last message of the run (trace\n'
printf 'level -d), less %s ms for the one firmware read-back pause.\n' "$firmware_wait_ms"
