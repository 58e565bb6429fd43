#!/usr/bin/env bash
# Started from a console instead of by the service control manager, the
# executable cannot connect, logs error 1063 and ends without a dialog. An
# argument that is not a switch ("install", "--install") leads there too.
source "$(dirname "$0")/lib.sh"
e2e_begin console_start

pids=()
for arguments in "" "install" "--install"; do
  log=$E2E_DIR/console${arguments:+.$arguments}.stderr
  # shellcheck disable=SC2086
  WINEDEBUG="$E2E_DEBUG,+relay" timeout 30 wine "$E2E_INSTALLED_EXE_WIN" $arguments 2>"$log" </dev/null &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || e2e_fail "a console run did not end by itself within 30 s"
done

for log in "$E2E_DIR"/console*.stderr; do
  errors=$(e2e_event_errors "$log")
  assert_eq 1 "$(grep -c . <<<"$errors")" "error entries of $(basename "$log")"
  assert_contains "$errors" "$(e2e_system_text 1063)" "error entry of $(basename "$log")"
  E2E_INSTALLER_LOG=$log
  assert_eq "" "$(e2e_installer_dialogs)" "dialogs of $(basename "$log")"
done
[ -f "$E2E_TRACE_LOG" ] || e2e_fail "trace log not created"
if svcctl qc xvVistrell >/dev/null 2>&1; then e2e_fail "a non-switch argument installed the service"; fi
e2e_log "passed"
