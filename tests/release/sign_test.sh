#!/usr/bin/env bash
# sign_test.sh CASE: signing with a throw-away CA made here
# (scripts/release/sign.sh). Its certificates were valid for two days ten
# days ago and name a revocation list at an address that answers nothing
# (test_ca.sh), so every check after the signing shows that only the signing
# time counts and that no network is asked.
#   plain      without a timestamp: SHA-256 read back, the same signing time
#              gives the same bytes, the detached signature attached with no
#              network gives the signed file; a changed file is told apart
#              from a signature that does not chain or is another signer's
#   timestamp  the same with a timestamp of osslsigncode's built-in authority
#              (osslsigncode 2.7 or later; older ones skip it, exit 77)
#   old        with a PATH on which osslsigncode says 2.5, the timestamp case
#              skips, naming the version
#   XV_EXE, XV_MSI: the files to sign (copies are signed).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/release/sign.sh"
source "$here/test_ca.sh"
case=${1:?usage: sign_test.sh plain|timestamp|old}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

if [ "$case" = old ]; then
  mkdir shim
  printf '#!/bin/sh\n[ "$1" = --version ] && { echo "osslsigncode 2.5, using:"; exit 0; }\nexec %s "$@"\n' \
    "$(command -v osslsigncode)" >shim/osslsigncode
  chmod 755 shim/osslsigncode
  status=0
  PATH=$work/shim:$PATH bash "$here/sign_test.sh" timestamp >out.log 2>&1 || status=$?
  cat out.log
  [ "$status" = 77 ] || fail "with osslsigncode 2.5 the timestamp case ended with $status, not skipped (77)"
  grep -q '^SKIPPED: .*osslsigncode 2\.5' out.log || fail "the skip does not name the version"
  echo "passed"
  exit 0
fi
if [ "$case" = timestamp ] && ! xv_osslsigncode_at_least 2.7; then
  echo "SKIPPED: the timestamp case: osslsigncode $(xv_osslsigncode_version) has no built-in timestamp" \
    "authority (-TSA-certs, 2.7 or later)"
  exit 77
fi

# The CAs, the code-signing and timestamp certificates, all made ten days ago.
then=$(($(date +%s) - 10 * 86400))
epoch=$((then + 3600))
test_ca "$work" "$then"
export XV_SIGN_CERT=$work/code.pem XV_SIGN_KEY=$work/code.key XV_SIGN_CA=$work/ca.pem
if [ "$case" = timestamp ]; then export XV_TSA_CERT=$work/tsa.pem XV_TSA_KEY=$work/tsa.key; fi
leaf=$(xv_signer_sha256)
# Without a network: the revocation list's address could not answer anyway.
offline=()
if unshare -n true 2>/dev/null; then offline=(unshare -n); elif unshare -rn true 2>/dev/null; then offline=(unshare -rn); fi

# flip FILE OFFSET: changes one byte.
flip() { printf '\x5a' | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
# expect STATUS MESSAGE COMMAND...: the command fails with STATUS and says MESSAGE.
expect() {
  local status=0 wanted=$1 message=$2
  shift 2
  "$@" 2>err.log || status=$?
  [ "$status" = "$wanted" ] || fail "$*: status $status, expected $wanted ($(cat err.log))"
  grep -qF "$message" err.log || fail "$*: no \"$message\" in: $(cat err.log)"
}

for file in "${XV_EXE:?}" "${XV_MSI:?}"; do
  name=$(basename "$file")
  cp "$file" "unsigned-$name"
  xv_sign "unsigned-$name" "signed-$name" "$epoch"
  [ "$(xv_signature_digest "signed-$name")" = SHA256 ] ||
    fail "$name: signed with $(xv_signature_digest "signed-$name"), not SHA-256"
  XV_SIGN_LEAF_SHA256=$leaf xv_verify "signed-$name" "$epoch" ||
    fail "$name: the signature does not verify at its signing time"
  if [ "$case" = timestamp ]; then
    osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -ignore-crl -in "signed-$name" |
      grep -q '^Timestamp Server Signature verification: ok' || fail "$name: no verified timestamp"
  else
    sleep 1
    xv_sign "unsigned-$name" "again-$name" "$epoch"
    cmp "signed-$name" "again-$name" || fail "$name: signed twice at one signing time, the bytes differ"
  fi
  expect 1 "is not signed by the certificate" env XV_SIGN_LEAF_SHA256="${leaf//?/0}" \
    bash -c 'source "$0" && xv_verify "$1" "$2"' "$here/../../scripts/release/sign.sh" "signed-$name" "$epoch"

  # The detached signature, attached with the certificate long expired and no network.
  xv_extract_signature "signed-$name" "$name.p7s"
  "${offline[@]}" env XV_SIGN_LEAF_SHA256="$leaf" bash -c 'source "$0" && xv_attach_signature "$@"' \
    "$here/../../scripts/release/sign.sh" "unsigned-$name" "$name.p7s" "attached-$name" "$epoch" ||
    fail "$name: the detached signature could not be attached offline after the certificate expired"
  cmp "signed-$name" "attached-$name" || fail "$name: the attached signature does not give the signed file"

  # A changed file is not the signed one: refused and removed.
  cp "unsigned-$name" "changed-unsigned-$name"
  flip "changed-unsigned-$name" $(($(stat -c %s "unsigned-$name") / 2))
  expect 2 "does not belong to changed-unsigned-$name" xv_attach_signature "changed-unsigned-$name" "$name.p7s" \
    "wrong-$name" "$epoch"
  [ ! -e "wrong-$name" ] || fail "$name: the file with a signature that does not belong was kept"
  # A signature that does not chain to the CA given: refused, kept.
  expect 1 "does not verify at its signing time" env XV_SIGN_CA="$work/other-ca.pem" \
    bash -c 'source "$0" && xv_attach_signature "$@"' "$here/../../scripts/release/sign.sh" \
    "unsigned-$name" "$name.p7s" "unchained-$name" "$epoch"
  cmp "signed-$name" "unchained-$name" || fail "$name: the file whose signature does not chain was not kept whole"
done

echo "passed"
