#!/usr/bin/env bash
# Checks the formatting of every C/C++ file and runs clang-tidy over the
# product and the stand-ins with the build's own compile flags. Any finding
# fails; both checks run, so one run shows every finding. Needs the build's
# compile_commands.json (scripts/test.sh builds first; run alone, this
# builds when it is missing). --tidy-only leaves the formatting out (the
# second architecture's run); XV_ARCH chooses the build that is analysed.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

xv_install_packages
cd "$XV_ROOT"
failed=0

# Tracked and new files alike, so a file not yet added is checked too.
sources() {
  git ls-files -z -co --exclude-standard -- "$@" |
    while IFS= read -r -d '' file; do [ -f "$file" ] && printf '%s\0' "$file"; done
}

if [ "${1:-}" != --tidy-only ]; then
  xv_log "Checking the formatting (clang-format)"
  if ! sources '*.cpp' '*.h' '*.c' | xargs -0 -r clang-format --dry-run --Werror; then
    echo "Formatting differs from .clang-format: run clang-format -i on the files above." >&2
    failed=1
  fi
fi

if [ ! -f "$XV_BUILD/compile_commands.json" ]; then
  xv_build
fi

# clang knows the target, but not where the cross-compiler keeps its C++ library.
triplet=$XV_ARCH-w64-mingw32
gcc_root=$(dirname "$($triplet-g++-posix -print-libgcc-file-name)")
tidy_args=(
  -p "$XV_BUILD" --quiet --header-filter="^$XV_ROOT/"
  --extra-arg-before=--target=$triplet
  --extra-arg=-nostdinc++
  --extra-arg=-isystem"$gcc_root/include/c++"
  --extra-arg=-isystem"$gcc_root/include/c++/$triplet"
)

# Each file's output goes to a log of its own, so parallel runs do not mix
# their lines; the logs are shown in order once all have ended.
XV_LINT_LOGS="$XV_BUILD/lint"
rm -rf "$XV_LINT_LOGS"
mkdir -p "$XV_LINT_LOGS"
export XV_LINT_LOGS
tidy_one() {
  local file=${*: -1}
  clang-tidy "$@" >"$XV_LINT_LOGS/${file//\//_}.log" 2>&1
}
export -f tidy_one

# Every source the build compiles from the checkout except the tests: the
# product units and the stand-ins, new units included without a change here.
mapfile -d '' files < <(python3 - "$XV_BUILD/compile_commands.json" "$XV_ROOT" "$XV_BUILD" <<'EOF'
import json, os, sys
database, root, build = sys.argv[1:]
with open(database) as commands:
    paths = {os.path.normpath(os.path.join(entry["directory"], entry["file"])) for entry in json.load(commands)}
for path in sorted(paths):
    relative = os.path.relpath(path, root)
    if (path.endswith((".c", ".cpp")) and not relative.startswith(("..", "tests" + os.sep))
            and os.path.commonpath([path, build]) != build):
        print(relative, end="\0")
EOF
)
if [ ${#files[@]} -eq 0 ]; then
  echo "No sources in $XV_BUILD/compile_commands.json" >&2
  exit 1
fi

xv_log "Running clang-tidy ($XV_ARCH build)"
# xargs ends with 123 when any call fails (a finding or a file that does not compile).
if ! printf '%s\0' "${files[@]}" | xargs -0 -r -n 1 -P "$(nproc)" bash -c 'tidy_one "$@"' tidy_one \
  "${tidy_args[@]}"; then
  failed=1
fi
for file in "${files[@]}"; do
  # Drop clang's counts of the warnings it generated: the findings themselves are shown.
  grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^[0-9]+ errors? generated\.$' \
    "$XV_LINT_LOGS/${file//\//_}.log" || true
done
if [ "$failed" -ne 0 ]; then
  echo "Lint failed: fix each finding, or suppress it in line with NOLINT(check) and a reason." >&2
  exit 1
fi
xv_log "Lint passed (${#files[@]} files analysed, $XV_ARCH build)"
