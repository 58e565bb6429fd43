#!/usr/bin/env bash
# Signing with a throw-away CA made here (scripts/release/sign.sh): the
# executable and the package verify, with and without a timestamp of
# osslsigncode's built-in authority; a changed byte fails the verification;
# the same signing time gives the same bytes; a detached signature attached
# to the unsigned file gives the signed file again, and only to that file.
#   XV_EXE, XV_MSI: the files to sign (copies are signed).
set -euo pipefail
source "$(dirname "$0")/../../scripts/release/sign.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The CA, a code-signing certificate and a timestamp authority's.
printf '%s\n' '[code]' 'keyUsage=critical,digitalSignature' 'extendedKeyUsage=codeSigning' \
  '[tsa]' 'keyUsage=critical,digitalSignature' 'extendedKeyUsage=critical,timeStamping' >ext.cnf
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=xvVistrell test CA" \
  -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign 2>/dev/null
for name in code tsa; do
  openssl req -newkey rsa:2048 -nodes -keyout $name.key -out $name.csr -subj "/CN=xvVistrell test $name" 2>/dev/null
  openssl x509 -req -in $name.csr -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" -days 2 \
    -extfile ext.cnf -extensions $name -out $name.pem 2>/dev/null
done
export XV_SIGN_CERT=$work/code.pem XV_SIGN_KEY=$work/code.key XV_SIGN_CA=$work/ca.pem
epoch=$(date +%s)

# flip FILE OFFSET: changes one byte.
flip() { printf '\x5a' | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

for file in "${XV_EXE:?}" "${XV_MSI:?}"; do
  name=$(basename "$file")
  cp "$file" "unsigned-$name"
  xv_sign "unsigned-$name" "plain-$name" "$epoch"
  xv_verify "plain-$name" || fail "$name: the signature without a timestamp does not verify"
  sleep 1
  xv_sign "unsigned-$name" "again-$name" "$epoch"
  cmp "plain-$name" "again-$name" || fail "$name: signed twice at one signing time, the bytes differ"

  XV_TSA_CERT=$work/tsa.pem XV_TSA_KEY=$work/tsa.key xv_sign "unsigned-$name" "signed-$name" "$epoch"
  xv_verify "signed-$name" || fail "$name: the timestamped signature does not verify"
  osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in "signed-$name" | grep -q '^Timestamp Server Signature verification: ok' ||
    fail "$name: no verified timestamp"
  xv_extract_signature "signed-$name" "$name.p7s"
  xv_attach_signature "unsigned-$name" "$name.p7s" "attached-$name"
  cmp "signed-$name" "attached-$name" || fail "$name: the attached signature does not give the signed file"

  # One byte in the middle of the signed content.
  cp "signed-$name" "changed-$name"
  flip "changed-$name" $(($(stat -c %s "unsigned-$name") / 2))
  if xv_verify "changed-$name" 2>/dev/null; then fail "$name: a changed byte still verifies"; fi
  cp "unsigned-$name" "changed-unsigned-$name"
  flip "changed-unsigned-$name" $(($(stat -c %s "unsigned-$name") / 2))
  if xv_attach_signature "changed-unsigned-$name" "$name.p7s" "wrong-$name" 2>/dev/null; then
    fail "$name: the signature was attached to a changed file"
  fi
done

echo "passed"
