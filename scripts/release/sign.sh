# shellcheck shell=bash
# Authenticode signing of the release's files with osslsigncode. Source it.
#
# The signer's key and certificate come from the environment:
#   XV_SIGN_CERT            the certificate chain, a PEM file (or a pkcs11: URI)
#   XV_SIGN_KEY             the private key, a PEM file or a pkcs11: URI
#   XV_SIGN_PKCS11_MODULE   the PKCS#11 module (.so) when either is a URI
#   XV_SIGN_PASS_FILE       a file with the key's password or the token's PIN (optional)
#   XV_SIGN_CA              the CA certificates the signatures are verified
#                           against (default: the system's bundle)
# and, optionally, a timestamp:
#   XV_TIMESTAMP_URL        an RFC 3161 timestamp server
#   XV_TSA_CERT, XV_TSA_KEY osslsigncode's built-in timestamp authority (for tests)
#   XV_TSA_CA               the CA of the timestamp authority (default: XV_SIGN_CA)
#
# Without a timestamp the signature is a function of the file, the key and
# the signing time: the same inputs give the same bytes. A timestamp adds a
# token with a serial number and the authority's time, so a signed file is
# then reproduced only from its detached signature (xv_attach_signature).

xv_sign_configured() { [ -n "${XV_SIGN_CERT:-}" ] && [ -n "${XV_SIGN_KEY:-}" ]; }

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
    printf '%s\n' -TSA-certs "$XV_TSA_CERT" -TSA-key "$XV_TSA_KEY" -TSA-time "$1"
  fi
}

# The arguments that name the CAs to verify against.
xv_verify_args() {
  local ca=${XV_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}
  printf '%s\n' -CAfile "$ca" -TSA-CAfile "${XV_TSA_CA:-$ca}"
}

# xv_sign IN OUT EPOCH: OUT is IN signed with SHA-256 at the signing time EPOCH.
xv_sign() {
  local args
  args=$(xv_signer_args) || return 1
  mapfile -t args <<<"$args"
  mapfile -t -O ${#args[@]} args < <(xv_timestamp_args "$3")
  osslsigncode sign "${args[@]}" -h sha256 -n "XV Vistrell" -time "$3" -in "$1" -out "$2" >"$2.log" 2>&1 || {
    cat "$2.log" >&2
    echo "sign: signing $1 failed" >&2
    return 1
  }
  rm -f "$2.log"
}

# xv_verify FILE: the signature is intact and chains to the CA.
xv_verify() {
  local args output
  mapfile -t args < <(xv_verify_args)
  if ! output=$(osslsigncode verify "${args[@]}" -in "$1" 2>&1); then
    grep -E 'Error|error|failed|mismatch|MISMATCH' <<<"$output" | head -5 >&2
    echo "sign: the signature of $1 does not verify" >&2
    return 1
  fi
}

# xv_extract_signature SIGNED SIGNATURE: the detached signature (PKCS#7, DER).
xv_extract_signature() { osslsigncode extract-signature -in "$1" -out "$2" >/dev/null; }

# xv_attach_signature UNSIGNED SIGNATURE OUT: OUT is UNSIGNED with the
# detached signature attached; fails unless it verifies.
xv_attach_signature() {
  local args
  mapfile -t args < <(xv_verify_args)
  osslsigncode attach-signature "${args[@]}" -sigin "$2" -in "$1" -out "$3" >"$3.log" 2>&1 || {
    grep -E 'Error|error|failed|mismatch' "$3.log" | head -5 >&2
    echo "sign: the signature $2 does not belong to $1" >&2
    rm -f "$3" "$3.log"
    return 1
  }
  rm -f "$3.log"
}
