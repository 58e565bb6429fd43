#!/usr/bin/env bash
# pilot_page_test.sh [--update]: the pilot page (docs/pilot.md) quotes every
# block of expected lines as tests/e2e/pilot_lines.sh prints it from the
# tests' own tables, each once, after its "<!-- expected: NAME -->" marker
# in a fenced block. --update rewrites the page's blocks instead.
set -euo pipefail
shopt -s inherit_errexit
here=$(cd "$(dirname "$0")" && pwd)
page=$here/../../docs/pilot.md
generator=$here/pilot_lines.sh

# The page with every marked block as the generator prints it.
regenerated() {
  local line name
  while IFS= read -r line; do
    printf '%s\n' "$line"
    if [[ $line =~ ^'<!-- expected: '([a-z-]+)' -->'$ ]]; then
      name=${BASH_REMATCH[1]}
      IFS= read -r line && [ "$line" = '```text' ] || {
        echo "pilot page: no fenced block after the marker of $name" >&2
        return 1
      }
      echo '```text'
      bash "$generator" "$name"
      while IFS= read -r line && [ "$line" != '```' ]; do :; done
      echo '```'
    fi
  done <"$page"
}

new=$(regenerated)
if [ "${1:-}" = --update ]; then
  printf '%s\n' "$new" >"$page"
  exit 0
fi
failed=0
for name in $(bash "$generator" --list); do
  count=$(grep -cxF "<!-- expected: $name -->" "$page" || true)
  if [ "$count" != 1 ]; then
    echo "FAILED: the block $name is on the page $count times, not once"
    failed=1
  fi
done
if ! diff -u "$page" <(printf '%s\n' "$new"); then
  echo "FAILED: docs/pilot.md quotes lines that the tests' tables no longer hold (the diff above;" \
    "tests/e2e/pilot_page_test.sh --update rewrites the blocks)"
  failed=1
fi
[ "$failed" -eq 0 ] && echo "the pilot page quotes the tests' lines"
exit "$failed"
