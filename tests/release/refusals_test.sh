#!/usr/bin/env bash
# What scripts/release.sh refuses before it builds anything, each with its
# message, leaving the destination as it was: a destination that holds other
# files, signing without a timestamp, a signatures folder that lacks one of
# the three signatures, and one given without the publisher's certificate.
set -euo pipefail
release=$(cd "$(dirname "$0")/../.." && pwd)/scripts/release.sh
version=$(sed -n 's/^project(xvVistrell VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/checkout" "$work/signatures" "$work/some"
touch "$work/checkout/README.md" "$work/key.pem" "$work/cert.pem" "$work/some/xvVistrell.exe.p7s" \
  "$work/some/xvVistrell_setup.dll.p7s"
cp "$work/some/"* "$work/signatures/"
touch "$work/signatures/xvVistrell-$version.msi.p7s"
failed=0
# row DESTINATION MESSAGE VARIABLE=VALUE...
row() {
  local dist=$1 message=$2 status=0
  shift 2
  env "$@" XV_DIST="$dist" "$release" >"$work/out.log" 2>&1 || status=$?
  if [ "$status" = 0 ] || ! grep -qF "$message" "$work/out.log"; then
    echo "FAILED: $* (status $status) did not refuse with \"$message\":"
    tail -n 5 "$work/out.log"
    failed=1
  fi
}
row "$work/checkout" "holds files but no earlier release (SHA256SUMS)"
[ -e "$work/checkout/README.md" ] || { echo "FAILED: the refused destination was emptied"; failed=1; }
row "$work/dist" "refusing to sign without an RFC 3161 timestamp" XV_SIGN_CERT="$work/cert.pem" XV_SIGN_KEY="$work/key.pem"
row "$work/dist" "lacks xvVistrell-$version.msi.p7s" XV_RELEASE_SIGNATURES="$work/some"
row "$work/dist" "needs XV_SIGN_LEAF_SHA256" XV_RELEASE_SIGNATURES="$work/signatures"
[ ! -e "$work/dist" ] || { echo "FAILED: a refused release left $work/dist"; failed=1; }
[ "$failed" = 0 ] && echo passed
exit "$failed"
