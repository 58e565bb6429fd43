#!/usr/bin/env bash
# A signed release, reproduced: scripts/release.sh --check signs with a
# throw-away CA made here and the timestamp authority built into osslsigncode
# (2.7 or later; older ones skip this, exit 77), and its second build attaches
# the detached signatures 1000 days later and without a network. The CA's
# certificates were made for two days from the commit's time, so that build
# runs long after they expired. Then the release is read back: each signed
# file's digest algorithm, timestamp and signer, and the signer the release
# names.
#   XV_DIST: where the release goes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/release/sign.sh"
source "$here/test_ca.sh"
if ! xv_osslsigncode_at_least 2.7; then
  echo "SKIPPED: osslsigncode $(xv_osslsigncode_version) has no built-in timestamp authority (2.7 or later)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
test_ca "$work" "$(($(git -C "$here" log -1 --format=%ct HEAD) - 3600))"
leaf=$(openssl x509 -in "$work/code.pem" -outform DER | sha256sum | cut -d' ' -f1)
XV_SIGN_CERT=$work/code.pem XV_SIGN_KEY=$work/code.key XV_SIGN_CA=$work/ca.pem XV_TSA_CERT=$work/tsa.pem \
  XV_TSA_KEY=$work/tsa.key "$here/../../scripts/release.sh" --check

dist=${XV_DIST:?}
[ "$(cat "$dist/signing-certificate.sha256")" = "$leaf" ] || fail "the release names another signer"
for file in "$dist"/*.p7s; do
  signed=${file%.p7s}
  [ "$(xv_signature_digest "$signed")" = SHA256 ] || fail "$signed: signed with $(xv_signature_digest "$signed")"
  osslsigncode verify -CAfile "$work/ca.pem" -TSA-CAfile "$work/ca.pem" -ignore-crl \
    -require-leaf-hash "sha256:$leaf" -in "$signed" >"$work/verify.log" 2>&1 ||
    fail "$signed does not verify: $(grep -E 'Error|failed' "$work/verify.log")"
  grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log" || fail "$signed: no timestamp"
done
[ "$(ls "$dist"/*.p7s | wc -l)" = 3 ] || fail "not three signatures: $(ls "$dist")"
echo "passed"
