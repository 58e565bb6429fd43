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

set -euo pipefail

E2E_BUILD=${XV_BUILD:?XV_BUILD must name the build directory}
E2E_EXE=$E2E_BUILD/service/xvVistrell.exe
E2E_SVCCTL=$E2E_BUILD/tests/tools/svcctl/svcctl.exe
E2E_TLVSENDER=$E2E_BUILD/sim/tlvsender/tlvsender.exe
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

# e2e_begin NAME: makes and boots a fresh prefix, sets the trap that tears it
# down on every exit.
e2e_begin() {
  E2E_NAME=$1
  E2E_DIR=$E2E_BUILD/e2e/$E2E_NAME.$$
  export WINEPREFIX=$E2E_DIR/prefix
  export WINEARCH=win32
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

# Runs a console tool of the harness; its output on stdout.
e2e_wine() { wine "$@" 2>>"$E2E_DIR/tools.stderr" </dev/null; }

svcctl() { e2e_wine "$E2E_SVCCTL" "$@" | tr -d '\r'; }

# e2e_run_installer ARGS...: runs the installed executable with the switches;
# its MessageBoxA calls land in $E2E_DIR/installer.N.stderr.
e2e_run_installer() {
  E2E_INSTALLER_RUNS=$((${E2E_INSTALLER_RUNS:-0} + 1))
  E2E_INSTALLER_LOG=$E2E_DIR/installer.$E2E_INSTALLER_RUNS.stderr
  WINEDEBUG=-all,+relay wine "$E2E_INSTALLED_EXE_WIN" "$@" 2>"$E2E_INSTALLER_LOG" </dev/null
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

# e2e_wait_state NAME STATE SECONDS: polls every 0.2 s.
e2e_wait_state() {
  local name=$1 want=$2 deadline=$((SECONDS + $3)) state
  while :; do
    state=$(e2e_state "$name")
    [ "$state" = "$want" ] && return 0
    [ "$SECONDS" -ge "$deadline" ] && e2e_fail "$name: state $state, expected $want within $3 s"
    sleep 0.2
  done
}

# e2e_process_running EXE_NAME: a process of this prefix runs that image.
e2e_process_running() {
  local pid
  for pid in $(pgrep -f "$1" || true); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      return 0
    fi
  done
  return 1
}

# e2e_wait_process_gone EXE_NAME SECONDS
e2e_wait_process_gone() {
  local deadline=$((SECONDS + $2))
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
  sed -n "s/^[0-9a-f]*:$1:eventlog:ReportEventW L\"\(.*\)\"\$/\1/p" "$2"
}

# The system's text for an error number, without its line break.
e2e_system_text() {
  local text
  text=$(svcctl text "$1" | head -1)
  [ -n "$text" ] || e2e_fail "no system text for error $1"
  echo "$text"
}

e2e_trace_log() { cat "$E2E_TRACE_LOG" 2>/dev/null | tr -d '\r'; }

# --- assertions -------------------------------------------------------------

assert_eq() { # EXPECTED ACTUAL WHAT
  [ "$1" = "$2" ] || e2e_fail "$3: expected [$1], got [$2]"
}

assert_contains() { # HAYSTACK NEEDLE WHAT
  grep -qF -- "$2" <<<"$1" || e2e_fail "$3: [$2] not found in:
$1"
}

assert_not_contains() { # HAYSTACK NEEDLE WHAT
  if grep -qF -- "$2" <<<"$1"; then e2e_fail "$3: [$2] found in:
$1"; fi
}

# assert_config KEY VALUE (from the last "svcctl qc" output in $E2E_CONFIG)
assert_config() {
  assert_eq "$2" "$(sed -n "s/^$1=//p" <<<"$E2E_CONFIG")" "service config $1"
}
