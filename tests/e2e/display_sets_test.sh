#!/usr/bin/env bash
# display_sets_test.sh [SET...]: one start of the service with "-d" for each
# display set of the simulated blade (default: every row of the table), in
# one prefix. Each run ends with the row's line, written whole as the last
# of the policy's lines, and switches nothing: no display is taken off the
# desktop, no mode or controller configuration changes.
source "$(dirname "$0")/lib.sh"
e2e_begin display_sets

declare -A outcome=(
  [rdp]="Connected via RDP, we're done"
  [no-telvane]="TLV is not running, we're done"
  [local]="Local diagnostic adapter connected, we're done"
  [one-controller]="ATI controller is in an unexpected state"
  [clone]="Desktop is already configured in clone mode"
)
rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(rdp no-telvane local one-controller clone)

e2e_install_standins
e2e_install
for set in "${rows[@]}"; do
  e2e_log "display set $set"
  xvsim_ati reset
  xvsim_display set "$set"
  before=$(xvsim_display show)
  e2e_start_service -d
  e2e_wait_trace "${outcome[$set]}"
  e2e_stop_service
  # The stop's lines follow the policy's.
  assert_eq "${outcome[$set]}" "$(e2e_trace_lines | grep -B1 -xF "Stopped XV Vistrell" | head -1)" \
    "$set: the last line of the policy run"
  assert_eq "$before" "$(xvsim_display show)" "$set: the desktop"
  calls=$(xvsim_ati log)
  assert_contains "$calls" "display stand-in: 7 imports of xvVistrell.exe replaced" "$set: calls"
  for switch in ChangeDisplaySettings SetConfiguration; do
    assert_not_contains "$calls" "$switch" "$set: calls"
  done
done
e2e_log "passed"
