#!/usr/bin/env bash
# pilot_lines.sh BLOCK | --list: prints one block of expected lines of the
# pilot page (docs/pilot.md), from the tables the tests compare against:
# the simulated blade's lines (blade_lines.sh, compared with real runs by
# blade_display_test.sh and display_sets_test.sh), the session-change table
# of the policy's unit test (tests/service/policy_test.cpp) and the failure
# actions that crash_restart_test.sh reads back. pilot_page_test.sh checks
# that the page quotes each block as printed here; a message changed in the
# product fails its test, the changed table then fails the page's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/blade_lines.sh"
policy_test=$here/../service/policy_test.cpp
crash_test=$here/crash_restart_test.sh

fail() {
  echo "pilot_lines.sh: $*" >&2
  exit 1
}

# from_file FILE PERL-REGEX: the first capture of the regex in the file.
from_file() {
  local found
  found=$(PATTERN=$2 perl -ne 'if (/$ENV{PATTERN}/) { print "$1\n"; exit }' "$1")
  [ -n "$found" ] || fail "no match of [$2] in $1"
  printf '%s\n' "$found"
}

# The inventory of a later run, the same as the start's but for the
# secondary display off the desktop, stands as one line; the page says so.
later() {
  awk '$0 == "Adapter 0" { skip = 1; print "<the inventory, as after the start>" }
       !skip { print } /^First ATI adapter found / { skip = 0 }'
}

# session EVENT_TYPE: the session-change handler's level-1 lines for that
# event, nobody logged in before a logon, a user logged in before the others;
# the policy run, where the event runs one, on the blade kept in clone mode.
session() {
  local row message runs_policy current new
  row=$(from_file "$policy_test" "(SessionRow\\{$1, \"[^\"]*\", (true|false), (true|false), (true|false)\\})")
  message=$(sed -E 's/^SessionRow\{[0-9]+, "([^"]*)".*/\1/' <<<"$row")
  runs_policy=$(sed -E 's/.*, (true|false)\}$/\1/' <<<"$row")
  current=$(from_file "$policy_test" '"@ (Current session protocol is )RDP"')
  new=$(from_file "$policy_test" '"@ (\\"New\\" session protocol is )" \+ new_protocol')
  printf '%s\n' "@ ${current}TLV" "@ $message"
  if [ "$runs_policy" = true ]; then blade_clone_kept | later; fi
  printf '%s\n' "@ ${new//\\\"/\"}TLV"
}

# The version block names the blade's own Windows.
start_log() {
  blade_start_lines | sed -E 's/^(  Major version: ).*/\1<major>/; s/^(  Minor version: ).*/\1<minor>/;
    s/^(  Build: ).*/\1<build>/; s/^(  CSD version: ).*/\1<service pack>/'
  blade_inventory 0x00000001 yes
  blade_detach 1
  blade_checks 0x00000003 2
  blade_clone_selected
}

failure_actions() {
  local read_back
  read_back=$(from_file "$crash_test" "assert_eq \\\$'(reset=[0-9]+(\\\\naction=[a-z]+/[0-9]+)+)'")
  printf '%b\n' "$read_back" | awk -F'[=/]' '
    $1 == "reset" { print "reset period: " $2 " s"; next }
    { n++; name = n == 1 ? "1st failure" : n == 2 ? "2nd failure" : "later failures"
      print name ": " $2 ($2 == "none" ? "" : ", after " $3 " ms") }'
}

blocks=(start-log start-events logon lock unlock logoff plug unplug failure-actions restart-events)
case "${1:-}" in
  --list) printf '%s\n' "${blocks[@]}" ;;
  start-log) start_log ;;
  start-events | restart-events) echo "information: $blade_started" ;;
  logon) session 5 ;;
  lock) session 7 ;;
  unlock) session 8 ;;
  logoff) session 6 ;;
  plug) printf '%s\n' "@ Diagnostic adapter attached" "$(blade_attached_path)" "@ Changed resolution to 1024x768" ;;
  unplug)
    {
      echo "@ Diagnostic adapter detached"
      blade_inventory 0x00000000
      blade_checks 0x00000003 2
      blade_clone_selected
    } | later
    ;;
  failure-actions) failure_actions ;;
  *) fail "usage: pilot_lines.sh BLOCK | --list (blocks: ${blocks[*]})" ;;
esac
