# shellcheck shell=bash
# Authenticode signing of the release's files with osslsigncode. Source it.
#
# The signer's key and certificate come from the environment:
#   XV_SIGN_CERT            the certificate chain, a PEM file, the signing
#                           certificate first (or a pkcs11: URI)
#   XV_SIGN_KEY             the private key, a PEM file or a pkcs11: URI
#   XV_SIGN_PKCS11_MODULE   the PKCS#11 module (.so) when either is a URI
#   XV_SIGN_PASS_FILE       a file with the key's password or the token's PIN (optional)
# and the timestamp, an RFC 3161 token over the SHA-256 signature:
#   XV_TIMESTAMP_URL        an RFC 3161 timestamp server
#   XV_TSA_CERT, XV_TSA_KEY osslsigncode's built-in timestamp authority (for
#                           tests; osslsigncode 2.7 or later)
# Verifying takes:
#   XV_SIGN_CA              the CA certificates (default: the system's bundle)
#   XV_TSA_CA               the CA of the timestamp authority (default: XV_SIGN_CA)
#   XV_SIGN_LEAF_SHA256     the SHA-256 of the signing certificate (DER) that
#                           every signature must carry: the publisher's key
#   XV_SIGN_CRL             a revocation list (PEM) to check against; without
#                           it none is fetched (osslsigncode 2.9's -ignore-crl)
#
# A signature is verified at its signing time, which the caller passes (the
# release: the commit's time), never at today's: an untimestamped signature
# verifies after its certificate expired, and a rebuild from detached
# signatures gives the same answer on any day and without a network.
#
# Without a timestamp the signature is a function of the file, the key and
# the signing time: the same inputs give the same bytes. A timestamp adds a
# token with a serial number and the authority's time, so a signed file is
# then reproduced only from its detached signature (xv_attach_signature).

xv_sign_configured() { [ -n "${XV_SIGN_CERT:-}" ] && [ -n "${XV_SIGN_KEY:-}" ]; }
xv_timestamp_configured() {
  [ -n "${XV_TIMESTAMP_URL:-}" ] || { [ -n "${XV_TSA_CERT:-}" ] && [ -n "${XV_TSA_KEY:-}" ]; }
}

# The version of osslsigncode on PATH, as 2.9.
xv_osslsigncode_version() {
  osslsigncode --version 2>/dev/null | sed -n '1s/^osslsigncode \([0-9][0-9.]*\).*/\1/p'
}

# xv_osslsigncode_at_least VERSION: true when the one on PATH is as new.
xv_osslsigncode_at_least() {
  local have
  have=$(xv_osslsigncode_version)
  [ -n "$have" ] && [ "$(printf '%s\n' "$1" "$have" | sort -V | head -n 1)" = "$1" ]
}

# The arguments naming the key and the certificate.
xv_signer_args() {
  case "$XV_SIGN_KEY$XV_SIGN_CERT" in
    *pkcs11:*)
      [ -n "${XV_SIGN_PKCS11_MODULE:-}" ] || {
        echo "sign: XV_SIGN_PKCS11_MODULE must name the PKCS#11 module for a pkcs11: URI" >&2
        return 1
      }
      printf '%s\n' -pkcs11module "$XV_SIGN_PKCS11_MODULE" -key "$XV_SIGN_KEY"
      case $XV_SIGN_CERT in
        pkcs11:*) printf '%s\n' -pkcs11cert "$XV_SIGN_CERT" ;;
        *) printf '%s\n' -certs "$XV_SIGN_CERT" ;;
      esac
      ;;
    *) printf '%s\n' -certs "$XV_SIGN_CERT" -key "$XV_SIGN_KEY" ;;
  esac
  [ -z "${XV_SIGN_PASS_FILE:-}" ] || printf '%s\n' -readpass "$XV_SIGN_PASS_FILE"
}

# The arguments of the timestamp, if one is asked for; EPOCH is the time the
# built-in authority is given.
xv_timestamp_args() {
  if [ -n "${XV_TIMESTAMP_URL:-}" ]; then
    printf '%s\n' -ts "$XV_TIMESTAMP_URL"
  elif [ -n "${XV_TSA_CERT:-}" ] && [ -n "${XV_TSA_KEY:-}" ]; then
    xv_osslsigncode_at_least 2.7 || {
      echo "sign: osslsigncode $(xv_osslsigncode_version) has no built-in timestamp authority (2.7 or later)" >&2
      return 1
    }
    printf '%s\n' -TSA-certs "$XV_TSA_CERT" -TSA-key "$XV_TSA_KEY" -TSA-time "$1"
  fi
}

# The SHA-256 of the signing certificate (DER) of XV_SIGN_CERT: given, or
# the first certificate of its PEM file.
xv_signer_sha256() {
  if [ -n "${XV_SIGN_LEAF_SHA256:-}" ]; then
    echo "$XV_SIGN_LEAF_SHA256"
  elif [[ ${XV_SIGN_CERT:-} == pkcs11:* ]]; then
    echo "sign: with a pkcs11: certificate, XV_SIGN_LEAF_SHA256 must name its SHA-256" >&2
    return 1
  else
    openssl x509 -in "$XV_SIGN_CERT" -outform DER | sha256sum | cut -d' ' -f1
  fi
}

# The arguments that name the CAs, the revocation list and the signer to
# verify against.
xv_verify_args() {
  local ca=${XV_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}
  printf '%s\n' -CAfile "$ca" -TSA-CAfile "${XV_TSA_CA:-$ca}"
  if [ -n "${XV_SIGN_CRL:-}" ]; then
    printf '%s\n' -CRLfile "$XV_SIGN_CRL" -TSA-CRLfile "$XV_SIGN_CRL"
  elif xv_osslsigncode_at_least 2.9; then
    printf '%s\n' -ignore-crl
  fi
  [ -z "${XV_SIGN_LEAF_SHA256:-}" ] || printf '%s\n' -require-leaf-hash "sha256:$XV_SIGN_LEAF_SHA256"
}

# xv_sign IN OUT EPOCH: OUT is IN signed with SHA-256 at the signing time EPOCH.
xv_sign() {
  local args
  args=$(xv_signer_args) || return 1
  mapfile -t args <<<"$args"
  local timestamp
  timestamp=$(xv_timestamp_args "$3") || return 1
  [ -z "$timestamp" ] || mapfile -t -O ${#args[@]} args <<<"$timestamp"
  osslsigncode sign "${args[@]}" -h sha256 -n "XV Vistrell" -time "$3" -in "$1" -out "$2" >"$2.log" 2>&1 || {
    cat "$2.log" >&2
    echo "sign: signing $1 failed" >&2
    rm -f "$2.log"
    return 1
  }
  rm -f "$2.log"
}

# xv_verify FILE EPOCH: the signature is intact, chains to the CA at the
# signing time EPOCH and, with XV_SIGN_LEAF_SHA256, is the publisher's.
# Returns 2 when the file's digest does not match its signature, 1 for any
# other failure (chain, time, revocation, signer).
xv_verify() {
  local args output
  mapfile -t args < <(xv_verify_args)
  output=$(osslsigncode verify "${args[@]}" -time "$2" -in "$1" 2>&1) && return 0
  if grep -Eq '^Calculated (message digest|DigitalSignature).*MISMATCH' <<<"$output"; then
    echo "sign: the contents of $1 do not match its signature (digest mismatch)" >&2
    return 2
  fi
  grep -E 'Error|error:|failed|mismatch' <<<"$output" | head -n 5 >&2
  if grep -q '^Leaf hash match: failed' <<<"$output"; then
    echo "sign: $1 is not signed by the certificate sha256:$XV_SIGN_LEAF_SHA256" >&2
  else
    echo "sign: the signature of $1 does not verify at its signing time ($(date -u -d "@$2" '+%F %T UTC')) against ${XV_SIGN_CA:-the system CA bundle}" >&2
  fi
  return 1
}

# xv_signature_digest FILE: the digest algorithm of FILE's signature, as SHA256.
xv_signature_digest() {
  osslsigncode verify -in "$1" 2>/dev/null | sed -n 's/^Message digest algorithm *: *\([A-Z0-9]*\).*/\1/p' | head -n 1
}

# xv_extract_signature SIGNED SIGNATURE: the detached signature (PKCS#7, DER).
xv_extract_signature() { osslsigncode extract-signature -in "$1" -out "$2" >/dev/null; }

# xv_attach_signature UNSIGNED SIGNATURE OUT EPOCH: OUT is UNSIGNED with the
# detached signature attached, verified at the signing time EPOCH. Whether
# the signature belongs to the file is told apart from whether it verifies:
# a file whose digest does not match is removed, one whose signature does
# not verify (chain, time, revocation, signer) is kept for a look.
xv_attach_signature() {
  local args=()
  # osslsigncode's own check of what it attached runs at today's time and
  # fetches the revocation list (2.6 and later) with no option to skip it:
  # its verdict is replaced by xv_verify's.
  [ -z "${XV_SIGN_CRL:-}" ] || args=(-CRLfile "$XV_SIGN_CRL" -TSA-CRLfile "$XV_SIGN_CRL")
  rm -f "$3"
  osslsigncode attach-signature -CAfile "${XV_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}" "${args[@]}" \
    -time "$4" -sigin "$2" -in "$1" -out "$3" >"$3.log" 2>&1 || true
  if [ ! -s "$3" ]; then
    grep -E 'Error|error|Unable|failed' "$3.log" | head -n 5 >&2
    echo "sign: the signature $2 could not be attached to $1" >&2
    rm -f "$3" "$3.log"
    return 1
  fi
  rm -f "$3.log"
  local status=0
  xv_verify "$3" "$4" || status=$?
  case $status in
    0) ;;
    2)
      echo "sign: the signature $2 does not belong to $1" >&2
      rm -f "$3"
      ;;
    *) echo "sign: $3 is kept: its signature was attached but does not verify" >&2 ;;
  esac
  return $status
}
