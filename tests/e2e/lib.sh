# End-to-end harness: the real xvVistrell.exe under Wine's own service
# control manager, in a fresh 32-bit prefix per test. Source it from a test
# script, then call e2e_begin NAME first.
#
# Wine facts the harness is built around:
# - services are killed 1-2 s after the last Wine process of the prefix ends,
#   so the prefix's wineserver is kept up (-p) for the whole test;
# - every service inherits the stderr and WINEDEBUG of the process that booted
#   the session: the boot runs with the event-log channels on and stderr to
#   $E2E_EVENTS, where the services' event-log entries then appear;
# - without DISPLAY, MessageBoxA returns at once, so no test waits on a dialog;
#   the relay trace of MessageBoxA (installer runs) shows the text it was given.

set -Eeuo pipefail
# A command that fails under "set -e" ends the test without a word of its
# own, so name it (once per shell: the callers it ends fail in turn).
e2e_command_failed() {
  trap - ERR
  printf 'FAILED: [%s] exited %d (%s line %d)\n' "$2" "$1" "$3" "$4" >&2
}
trap 'e2e_command_failed $? "$BASH_COMMAND" "${BASH_SOURCE[0]##*/}" "$LINENO"' ERR

E2E_BUILD=${XV_BUILD:?XV_BUILD must name the build directory}
E2E_EXE=$E2E_BUILD/service/xvVistrell.exe
E2E_SVCCTL=$E2E_BUILD/tests/tools/svcctl/svcctl.exe
E2E_TLVSENDER=$E2E_BUILD/sim/tlvsender/tlvsender.exe
E2E_WMISIM=$E2E_BUILD/sim/wmi_firmware/wmisim.exe
E2E_WMI_DLL=$E2E_BUILD/sim/wmi_firmware/xv_wmi_firmware.dll
E2E_ATISIM=$E2E_BUILD/sim/ati/xvsim-ati.exe
E2E_DISPLAYSIM=$E2E_BUILD/sim/display/xvsim-display.exe
E2E_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
E2E_DEBUG='-all,err+all,+eventlog,+debugstr,fixme+advapi'

# Where the product is installed inside the prefix: a folder with a blank, as
# on a blade.
E2E_INSTALL_DIR_WIN='C:\Program Files\XV Vistrell'
E2E_INSTALLED_EXE_WIN="$E2E_INSTALL_DIR_WIN\\xvVistrell.exe"

e2e_log() { printf '[e2e %s] %s\n' "$(date +%T)" "$*"; }

e2e_fail() {
  printf 'FAILED: %s\n' "$*" >&2
  exit 1
}

# e2e_begin NAME [DIR]: makes and boots a fresh prefix (in DIR, by default a
# folder of its own under the build directory), sets the trap that tears it
# down on every exit.
e2e_begin() {
  E2E_NAME=$1
  E2E_DIR=${2:-$E2E_BUILD/e2e/$E2E_NAME.$$}
  export WINEPREFIX=$E2E_DIR/prefix
  export WINEARCH="${XV_WINEARCH:-win32}"
  export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
  export WINEDEBUG=-all
  unset DISPLAY WAYLAND_DISPLAY
  E2E_EVENTS=$E2E_DIR/boot.stderr
  rm -rf "$E2E_DIR"
  mkdir -p "$E2E_DIR"
  trap e2e_end EXIT
  e2e_boot_prefix
}

e2e_end() {
  local status=$?
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  if [ "$status" -eq 0 ] && [ -z "${E2E_KEEP:-}" ]; then
    rm -rf "$E2E_DIR"
  else
    # A tool that failed under "set -e" said why only here.
    if [ "$status" -ne 0 ] && [ -s "$E2E_DIR/tools.stderr" ]; then
      echo "Last lines the tools wrote to $E2E_DIR/tools.stderr:" >&2
      tail -n 20 "$E2E_DIR/tools.stderr" >&2
    fi
    echo "Prefix and logs kept in $E2E_DIR" >&2
  fi
  return "$status"
}

e2e_boot_prefix() {
  e2e_log "booting $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineserver -p
  WINEDEBUG=$E2E_DEBUG wine cmd /c exit 0 2>"$E2E_EVENTS" </dev/null
  # Installer runs show their MessageBoxA calls through the relay trace.
  wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d 'user32.MessageBoxA' /f >/dev/null 2>&1
  E2E_INSTALL_DIR=$(winepath -u "$E2E_INSTALL_DIR_WIN" 2>/dev/null)
  mkdir -p "$E2E_INSTALL_DIR"
  cp "$E2E_EXE" "$E2E_INSTALL_DIR/xvVistrell.exe"
  E2E_TRACE_LOG=$E2E_INSTALL_DIR/xvVistrell.txt
}

# e2e_null_display: boots again with Wine's null display driver: windows
# without X, but message boxes then wait for a click.
e2e_null_display() {
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -k
  wineserver -w
  wineserver -p
  WINEDEBUG=$E2E_DEBUG wine cmd /c exit 0 2>"$E2E_EVENTS" </dev/null
  # A window look-up starts the desktop first: without it the service got no
  # window in two of about ten runs here.
  e2e_wine "$E2E_SVCCTL" close none >/dev/null
}

# Runs a console tool of the harness; its output on stdout.
e2e_wine() { wine "$@" 2>>"$E2E_DIR/tools.stderr" </dev/null; }

svcctl() { e2e_wine "$E2E_SVCCTL" "$@" | tr -d '\r'; }

# e2e_as_windows_xp COMMAND...: runs the command with xvVistrell.exe told
# that it runs on Windows XP (Wine's version for one program), then puts the
# version back, so the service started later sees Wine's own. Wine's files
# all belong to its one account (the owner comes from the Unix owner, and no
# other can be set), as on XP, where the administrator who makes a folder
# owns it; from Vista on /install trusts no such account, and every place
# would be refused.
e2e_as_windows_xp() {
  local key='HKCU\Software\Wine\AppDefaults\xvVistrell.exe' status=0
  local version=winxp
  [ "$WINEARCH" = win64 ] && version=winxp64
  wine reg add "$key" /v Version /d "$version" /f >/dev/null 2>&1
  "$@" || status=$?
  wine reg delete "$key" /f >/dev/null 2>&1
  return "$status"
}

# e2e_run_installer ARGS...: runs the installed executable with the switches,
# as on Windows XP (above); its MessageBoxA calls land in
# $E2E_DIR/installer.N.stderr.
e2e_run_installer() {
  E2E_INSTALLER_RUNS=$((${E2E_INSTALLER_RUNS:-0} + 1))
  E2E_INSTALLER_LOG=$E2E_DIR/installer.$E2E_INSTALLER_RUNS.stderr
  e2e_as_windows_xp env WINEDEBUG=-all,+relay wine "$E2E_INSTALLED_EXE_WIN" "$@" 2>"$E2E_INSTALLER_LOG" </dev/null
}

e2e_install() { e2e_run_installer /install /silent; }
e2e_uninstall() { e2e_run_installer /uninstall /silent; }

# The texts and captions of the last installer run's message boxes, one
# "caption|text" per line (text as Wine's debug output quotes it).
e2e_installer_dialogs() {
  sed -n 's/.*Call user32\.MessageBoxA([0-9a-f]*,[0-9a-f]* "\(.*\)",[0-9a-f]* "\([^"]*\)",[0-9a-f]*).*/\2|\1/p' \
    "$E2E_INSTALLER_LOG"
}

e2e_install_tlvsender() {
  cp "$E2E_TLVSENDER" "$E2E_INSTALL_DIR/tlvsender.exe"
  e2e_wine sc create tlvsender binpath= "$E2E_INSTALL_DIR_WIN\\tlvsender.exe" >/dev/null
  e2e_wine sc start tlvsender >/dev/null
  e2e_wait_state tlvsender 4 10
}

# e2e_start NAME [PARAMETERS...]: sc start with start parameters.
e2e_start() { e2e_wine sc start "$@" >/dev/null; }
e2e_stop() { e2e_wine sc stop "$1" >/dev/null; }

# e2e_control NAME CODE: ControlService; prints the status, fails with the error.
e2e_control() { svcctl control "$1" "$2"; }

# e2e_state NAME: the current state number (1 stopped ... 4 running), or
# "none" when the service cannot be queried.
e2e_state() {
  local state
  state=$(svcctl query "$1" 2>/dev/null | sed -n 's/^state=//p') || true
  echo "${state:-none}"
}

# e2e_scaled SECONDS: a wait's length, stretched where everything runs
# several times slower (XV_TEST_TIME_SCALE, the emulated machine's). Every
# wait below takes its seconds through it.
e2e_scaled() { echo $(($1 * ${XV_TEST_TIME_SCALE:-1})); }

# e2e_wait_state NAME STATE SECONDS: polls every 0.2 s.
e2e_wait_state() {
  local name=$1 want=$2 deadline=$((SECONDS + $(e2e_scaled "$3"))) state
  while :; do
    state=$(e2e_state "$name")
    [ "$state" = "$want" ] && return 0
    [ "$SECONDS" -ge "$deadline" ] && e2e_fail "$name: state $state, expected $want within $3 s"
    sleep 0.2
  done
}

# e2e_process_pids EXE_NAME: the Unix process ids of this prefix's processes
# that run that image, one a line.
e2e_process_pids() {
  local pid
  for pid in $(pgrep -f "$1" || true); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
    fi
  done
}

# e2e_process_running EXE_NAME: a process of this prefix runs that image.
e2e_process_running() { [ -n "$(e2e_process_pids "$1")" ]; }

# e2e_wait_process_gone EXE_NAME SECONDS
e2e_wait_process_gone() {
  local deadline=$((SECONDS + $(e2e_scaled "$2")))
  while e2e_process_running "$1"; do
    [ "$SECONDS" -ge "$deadline" ] && e2e_fail "$1 still running after $2 s"
    sleep 0.2
  done
}

# Event-log entries as Wine prints them: ReportEventW writes the text with
# err:eventlog (error type), warn:eventlog (warning) or trace:eventlog
# (information), quoted as L"...". These print the texts, one per line.
e2e_event_errors() { e2e_events_of err "${1:-$E2E_EVENTS}"; }
e2e_event_infos() { e2e_events_of trace "${1:-$E2E_EVENTS}"; }
e2e_events_of() {
  local from=1
  [ "$2" = "$E2E_EVENTS" ] && from=$((${E2E_EVENTS_MARK:-0} + 1))
  tail -n +"$from" "$2" | sed -n "s/^[0-9a-f]*:$1:eventlog:ReportEventW L\"\(.*\)\"\$/\1/p"
}

# Every entry in order, as "information: TEXT", "warning: TEXT" or "error: TEXT".
e2e_event_entries() {
  tail -n +"$((${E2E_EVENTS_MARK:-0} + 1))" "$E2E_EVENTS" |
    sed -n -e 's/^[0-9a-f]*:trace:eventlog:ReportEventW L"\(.*\)"$/information: \1/p' \
      -e 's/^[0-9a-f]*:warn:eventlog:ReportEventW L"\(.*\)"$/warning: \1/p' \
      -e 's/^[0-9a-f]*:err:eventlog:ReportEventW L"\(.*\)"$/error: \1/p'
}

# e2e_events_mark: the readers above see only entries written after this
# call (one prefix, several runs of the service).
e2e_events_mark() { E2E_EVENTS_MARK=$(wc -l <"$E2E_EVENTS"); }

# The system's text for an error number, without its line break.
e2e_system_text() {
  local text
  text=$(svcctl text "$1" | head -1)
  [ -n "$text" ] || e2e_fail "no system text for error $1"
  echo "$text"
}

e2e_trace_log() { cat "$E2E_TRACE_LOG" 2>/dev/null | tr -d '\r'; }

# The local time in front of a timed message: the locale's long time format,
# hours, minutes and seconds, perhaps with AM or PM.
E2E_TIME='[0-9]{1,2}:[0-9]{2}:[0-9]{2}( ?[AaPp]\.?[Mm]\.?)?'

# e2e_trace_lines_marked: the trace log's lines whole, indentation included,
# with the time in front of a timed message replaced by "@ ". Compare with
# these (not with the log itself, whose times differ from run to run): expect
# a message that trace_timed writes as "@ TEXT" and every other line as
# "TEXT", so a time missing where it is due, or one in front of a line that
# must have none, fails the comparison. For example:
#   assert_eq $'@ Set session protocol to TLV\nTLV is not running, we\'re done' \
#     "$(e2e_trace_lines_marked | tail -n 2)" "the end of the policy run"
e2e_trace_lines_marked() { e2e_trace_log | sed -E "s/^( *)$E2E_TIME /\\1@ /"; }

# The same without the indentation.
e2e_trace_texts_marked() { e2e_trace_lines_marked | sed -E 's/^ +//'; }

# The lines without the indentation and without any time: only for waiting
# for a line and counting lines, which do not check the time.
e2e_trace_untimed_texts() { e2e_trace_log | sed -E "s/^ +//; s/^$E2E_TIME //"; }

# The trace log's lines whole but for the time in front of timed messages,
# dropped unchecked; comparisons use e2e_trace_lines_marked instead.
e2e_trace_lines() { e2e_trace_log | sed -E "s/^( *)$E2E_TIME /\\1/"; }

# The hours (0 to 23) of the times in front of timed messages, one a line.
e2e_trace_hours() {
  e2e_trace_log | sed -nE "s/^ *([0-9]{1,2}):[0-9]{2}:[0-9]{2}( ?([AaPp])\.?[Mm]\.?)? .*/\\1 \\3/p" |
    awk '{ hour = $1 + 0; if ($2 ~ /[Pp]/ && hour < 12) hour += 12; if ($2 ~ /[Aa]/ && hour == 12) hour = 0; print hour }'
}

# e2e_wait_calls TEXT: waits (10 s) until the call log of the ATI library
# and display stand-ins holds the line.
e2e_wait_calls() {
  local deadline=$((SECONDS + $(e2e_scaled 10)))
  until xvsim_ati log | grep -xF -- "$1" >/dev/null; do
    [ "$SECONDS" -ge "$deadline" ] && e2e_fail "call log: [$1] not written within 10 s"
    sleep 0.1
  done
}

# e2e_trace_count TEXT: how many lines of the trace log are that text, with
# or without a time in front.
e2e_trace_count() { e2e_trace_untimed_texts | grep -cxF -- "$1" || true; }

# e2e_wait_trace TEXT [COUNT] [SECONDS]: waits (default 10 s) until the trace
# log holds the text as a line COUNT times (default 1), with or without a
# time in front.
e2e_wait_trace() {
  local text=$1 count=${2:-1} deadline=$((SECONDS + $(e2e_scaled "${3:-10}")))
  while [ "$(e2e_trace_count "$text")" -lt "$count" ]; do
    [ "$SECONDS" -ge "$deadline" ] && e2e_fail "trace log: [$text] not written $count time(s) within ${3:-10} s"
    sleep 0.05
  done
}

# e2e_trace_section FROM TO [N]: the texts (e2e_trace_texts_marked) from the
# Nth line that is FROM (default the first) through the next line that is TO.
e2e_trace_section() {
  e2e_trace_texts_marked | awk -v from="$1" -v to="$2" -v n="${3:-1}" '
    !inside && $0 == from && ++seen == n { inside = 1; print; next }
    inside { print; if ($0 == to) exit }'
}

# --- stand-ins ----------------------------------------------------------------

# The firmware's WMI provider, the ATI display library and the Telvane sender.
wmisim() { e2e_wine "$E2E_WMISIM" "$@"; }
xvsim_ati() { e2e_wine "$E2E_ATISIM" "$@" | tr -d '\r'; }
# The simulated blade's display hardware (off unless a set is chosen: then
# the service's next start sees it instead of Wine's display).
xvsim_display() { e2e_wine "$E2E_DISPLAYSIM" "$@" | tr -d '\r'; }

# e2e_install_ati stdcall|cdecl|missing_export|none
e2e_install_ati() { XV_BUILD=$E2E_BUILD "$E2E_SCRIPTS/sim-ati-install" "$WINEPREFIX" "$1"; }

# e2e_install_standins [ATI_BUILD]: registers the firmware provider, installs
# the ATI library (stdcall unless named), starts the Telvane sender, and puts
# both stand-ins in their default state with empty call logs.
e2e_install_standins() {
  XV_BUILD=$E2E_BUILD "$E2E_SCRIPTS/sim-wmi-register" "$WINEPREFIX" "$E2E_WMI_DLL" >/dev/null
  e2e_install_ati "${1:-stdcall}"
  wmisim reset >/dev/null
  xvsim_ati reset
  e2e_install_tlvsender
}

# e2e_wait_waiter [MS]: waits until the service's watcher has subscribed to
# the hot-plug event (events raised while nobody waits are lost).
e2e_wait_waiter() {
  wmisim wait-waiter "$(e2e_scaled "${1:-10000}")" >/dev/null || e2e_fail "nobody subscribed to the hot-plug event"
}

# e2e_raise COMMAND [TEXT]: plug, unplug or raise TEXT once the watcher waits;
# fails unless exactly one subscriber was reached.
e2e_raise() {
  local reached
  e2e_wait_waiter
  reached=$(wmisim "$@")
  assert_contains "$reached" ": 1 waiter(s)" "wmisim $*"
}

# e2e_start_service [PARAMETERS...]: installs (when not yet installed) and
# starts xvVistrell with the start parameters, then waits until it runs.
e2e_start_service() {
  svcctl query xvVistrell >/dev/null 2>&1 || e2e_install
  e2e_start xvVistrell "$@"
  e2e_wait_state xvVistrell 4 15
}

# e2e_stop_service: stops xvVistrell and waits until its process is gone.
e2e_stop_service() {
  e2e_stop xvVistrell
  e2e_wait_state xvVistrell 1 15
  e2e_wait_process_gone xvVistrell.exe 10
}

# --- assertions -------------------------------------------------------------

assert_eq() { # EXPECTED ACTUAL WHAT
  [ "$1" = "$2" ] || e2e_fail "$3: expected [$1], got [$2]"
}

assert_contains() { # HAYSTACK NEEDLE WHAT
  grep -qF -- "$2" <<<"$1" || e2e_fail "$3: [$2] not found in:
$1"
}

# assert_trace_header LOG: the log starts with the header line (the
# executable's name and its build stamp) and an empty line.
assert_trace_header() {
  sed -n 1p <<<"$1" | grep -qE '^xvVistrell\.exe  [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}  [0-9]{2}:[0-9]{2}:[0-9]{2}$' ||
    e2e_fail "header line: [$(sed -n 1p <<<"$1")]"
  assert_eq "" "$(sed -n 2p <<<"$1")" "line after the header"
}

# assert_in_order TEXTS WHAT LINE...: the lines stand in TEXTS in this order
# (whole lines, others may come between).
assert_in_order() {
  local texts=$1 what=$2 missing
  shift 2
  missing=$(awk 'NR == FNR { want[++n] = $0; next }
                 i < n && $0 == want[i + 1] { ++i }
                 END { if (i < n) print "[" want[i + 1] "]" }' <(printf '%s\n' "$@") - <<<"$texts")
  [ -z "$missing" ] || e2e_fail "$what: $missing missing or out of order (expected in order: $(printf '[%s] ' "$@")) in:
$texts"
}

assert_not_contains() { # HAYSTACK NEEDLE WHAT
  if grep -qF -- "$2" <<<"$1"; then e2e_fail "$3: [$2] found in:
$1"; fi
}

# assert_config KEY VALUE (from the last "svcctl qc" output in $E2E_CONFIG)
assert_config() {
  assert_eq "$2" "$(sed -n "s/^$1=//p" <<<"$E2E_CONFIG")" "service config $1"
}

# e2e_trace_marked: the trace log's lines whole, with the local time in front
# of a timed message replaced by "@ " (after its indentation), so a
# comparison of whole lines also tells timed messages from untimed ones.
e2e_trace_marked() {
  e2e_trace_log | sed -E 's/^( *)[0-9]{1,2}:[0-9]{2}:[0-9]{2}( ?[AaPp]\.?[Mm]\.?)? /\1@ /'
}

# e2e_settle_trace TEXT [SECONDS]: waits (default 10 s) until the trace log
# holds the text as a line, then goes on either way: a run that ended
# otherwise shows in the whole comparisons that follow.
e2e_settle_trace() {
  local deadline=$((SECONDS + ${2:-10}))
  while [ "$(e2e_trace_count "$1")" -lt 1 ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
}
