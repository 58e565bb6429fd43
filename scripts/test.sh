#!/usr/bin/env bash
# Builds, checks formatting and static analysis (scripts/lint.sh; any finding
# fails), runs the tests under Wine in each configuration, and ends with one
# summary line per configuration.
#
#   scripts/test.sh                 the full run: every configuration of the
#                                   table below that this machine has
#   scripts/test.sh ARGS...         one build's subset, without lint: ARGS go
#                                   to ctest (-L trace, -R CrashEnd, ...)
#   scripts/test.sh --load ...      the same with a busy loop on every core,
#                                   for faults that only a loaded machine shows
#
# XV_ARCH (i686 or x86_64) chooses the build of a subset run; i686 runs in the
# emulated machine where this one cannot run 32-bit code, or where
# XV_I686_VM=1 asks for it. XV_CONFIGS names the configurations of a full run
# ("i686-vm x86_64", say), in place of those the machine chooses.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

# The configurations: name, build, where it runs, which tests, and which
# machines run it in a full run (i386: where 32-bit code runs natively,
# no-i386: where it cannot, all: every machine). The emulated machine runs
# the shipped image's own tests that fit the time of a CI run: the
# architecture's own (label i686: the crash tier, the ATI binding's calling
# conventions and thunk, the PE checks) and the whole end-to-end tier, less
# what needs this machine's toolchain or takes too long emulated (host).
XV_CONFIG_TABLE=(
  "i686     i686   native    -LE ^reproducible$                      i386"
  "i686-vm  i686   emulated  -L ^(i686|e2e)$ -LE ^(host|release|reproducible)$  no-i386"
  "x86_64   x86_64 native    -LE ^reproducible$                      all"
)

load=""
if [ "${1:-}" = --load ]; then
  load=1
  shift
fi

# config_field NAME FIELD: a field of a configuration's row (1 = name).
config_row() {
  local row
  for row in "${XV_CONFIG_TABLE[@]}"; do
    read -r -a fields <<<"$row"
    [ "${fields[0]}" = "$1" ] && { printf '%s\n' "$row"; return 0; }
  done
  echo "No configuration named $1 (known: i686 i686-vm x86_64)" >&2
  return 1
}

# The configurations a full run of this machine runs.
chosen_configs() {
  if [ -n "${XV_CONFIGS:-}" ]; then
    printf '%s\n' $XV_CONFIGS
    return 0
  fi
  local kind=no-i386 row
  xv_runs_i386 && kind=i386
  for row in "${XV_CONFIG_TABLE[@]}"; do
    read -r -a fields <<<"$row"
    case ${fields[-1]} in all | "$kind") printf '%s\n' "${fields[0]}" ;; esac
  done
}

# Busy loops on every core until the run ends.
start_load() {
  local i
  xv_log "CPU load: $(nproc) busy loops while the tests run"
  for i in $(seq "$(nproc)"); do
    ( trap - EXIT; while :; do :; done ) &
    load_pids+=($!)
  done
}
stop_load() { [ ${#load_pids[@]} -eq 0 ] || kill "${load_pids[@]}" 2>/dev/null || true; }
load_pids=()
trap stop_load EXIT

# with_build ARCH COMMAND...: runs COMMAND with the scripts' settings for
# ARCH's build (its folder, Wine's loader), in a subshell of its own.
with_build() {
  local arch=$1
  shift
  ( XV_ARCH=$arch XV_BUILD_REQUESTED=""
    [ "$arch" = i686 ] || unset XV_I686_VM
    xv_choose_arch
    "$@" )
}

# run_ctest RESULTS WHERE ARGS...: the tests of the current build, natively
# in the build's Wine prefix or in the emulated machine; CTest's results go
# to the file RESULTS (none: ARGS say where).
run_ctest() {
  local results=$1 where=$2
  shift 2
  [ -z "$results" ] || { rm -f "$results"; set -- "$@" --output-junit "$results"; }
  if [ "$where" = emulated ]; then
    xv_log "The tests run in the emulated x86 machine (scripts/i686-vm.sh)"
    "$XV_ROOT/scripts/i686-vm.sh" run --local "$XV_BUILD/e2e" --prefix "$XV_BUILD/wineprefix" -- \
      "$XV_ROOT/scripts/test.sh" "$@"
    return
  fi
  local prefix="$XV_BUILD/wineprefix" status=0
  xv_log "Starting the Wine server for $prefix"
  xv_wine_up "$prefix"
  xv_log "Running the tests ($XV_ARCH)"
  ( cd "$XV_BUILD" && ctest --output-on-failure -j "$(nproc)" "$@" ) || status=$?
  xv_wine_down "$prefix"
  return "$status"
}

# summary NAME WHERE RESULTS: the configuration's line, from CTest's results.
summary() {
  local where=$2
  [ "$where" = emulated ] && where="the emulated machine"
  if [ ! -f "$3" ]; then
    printf '%s (%s): no results (the build or the run failed)\n' "$1" "$where"
    return
  fi
  /usr/bin/python3 - "$@" "$where" <<'PY'
import sys, xml.etree.ElementTree as tree
name, _, results, where = sys.argv[1:]
suite = tree.parse(results).getroot()
count = lambda key: int(suite.get(key, "0"))
skipped = count("skipped") + count("disabled")
failed = count("failures") + count("errors")
print(f"{name} ({where}): {count('tests') - failed - skipped} passed, {failed} failed, {skipped} skipped")
PY
}

# run_config NAME LINT: one configuration's build, lint (full, tidy: the
# formatting was checked already, none: this build was linted already) and
# tests; its summary line goes to the file $summaries.
run_config() {
  local row
  row=$(config_row "$1") || return 1
  read -r -a fields <<<"$row"
  with_build "${fields[1]}" config_steps "$1" "$2" "${fields[2]}" "${fields[@]:3:${#fields[@]}-4}"
}

config_steps() {
  local name=$1 lint=$2 where=$3 failed=0 results
  shift 3
  results="$XV_BUILD/ctest-$name.xml"
  rm -f "$results"
  xv_log "Configuration $name: the $XV_ARCH build in $XV_BUILD, tests $where"
  if xv_build; then
    case $lint in
      full) "$XV_ROOT/scripts/lint.sh" || failed=1 ;;
      tidy) "$XV_ROOT/scripts/lint.sh" --tidy-only || failed=1 ;;
    esac
    [ "$lint" = none ] || printf 'lint of the %s build: %s\n' "$XV_ARCH" \
      "$([ $failed -eq 0 ] && echo passed || echo "FAILED")" >>"$summaries"
    run_ctest "$results" "$where" "$@" || failed=1
  else
    failed=1
  fi
  summary "$name" "$where" "$results" >>"$summaries"
  return "$failed"
}

xv_install_packages
[ -z "$load" ] || start_load

if [ -n "${XV_VM:-}" ]; then
  # Inside the emulated machine: the build made outside, as it is.
  xv_log "In the i686 test machine: testing the build made outside it in $XV_BUILD"
  run_ctest "" native "$@"
  exit
fi

if [ $# -gt 0 ]; then
  where=native
  [ "$XV_ARCH" = i686 ] && [ -n "${XV_I686_VM:-}" ] && where=emulated
  xv_build
  xv_log "A subset of the tests: no lint step (scripts/lint.sh runs it alone)"
  run_ctest "" "$where" "$@"
  exit
fi

# The full run: each configuration in turn, every one even after a failure;
# the formatting is checked once, each build analysed once.
summaries=$(mktemp)
declare -A linted=()
lint=full
failed=0
for name in $(chosen_configs); do
  arch=$(config_row "$name" | awk '{print $2}') || { failed=1; continue; }
  run_config "$name" "$([ -n "${linted[$arch]:-}" ] && echo none || echo "$lint")" || failed=1
  linted[$arch]=1
  lint=tidy
done
xv_log "Summary"
cat "$summaries"
rm -f "$summaries"
if [ "$failed" -ne 0 ]; then
  xv_log "FAILED: see the lint findings or the failed tests above"
  exit 1
fi
