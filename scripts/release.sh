#!/usr/bin/env bash
# scripts/release.sh [--check]
# Makes the release of the commit checked out (HEAD; uncommitted changes are
# not part of it) in dist/ (XV_DIST): the 32-bit xvVistrell.exe, the Windows
# Installer package and its setup DLL, the licence notices of the code linked
# into them (THIRD-PARTY-NOTICES.txt, which the package installs too), a bill
# of materials (xvVistrell-<version>.spdx.json, SPDX 2.3) and SHA256SUMS.
#
# The build is reproducible: the sources come from the commit (git archive,
# without the caller's line-end conversion), and so do this script's own
# steps: it archives the commit, then runs the commit's copy of itself under
# a clean environment (fixed PATH, locale and umask; no CFLAGS, CXXFLAGS or
# LDFLAGS of the caller). SOURCE_DATE_EPOCH is the commit's time, and the
# package's dates, codes and file times are derived from it
# (packaging/make-msi.sh). --check builds a second time, in another folder,
# another time zone, 1000 days later (faketime) and without a network, and
# fails on any differing byte, naming the file and the first offset.
#
# Signing (scripts/release/sign.sh names the variables): with XV_SIGN_CERT and
# XV_SIGN_KEY the executable and the setup DLL are signed before they are
# packaged, then the package; each signature is verified, and its detached
# copy (<file>.p7s) and the signing certificate's SHA-256
# (signing-certificate.sha256) go into dist/ too. A release is signed with an
# RFC 3161 timestamp (XV_TIMESTAMP_URL); without one it is refused unless
# XV_SIGN_UNTIMESTAMPED=1. XV_RELEASE_SIGNATURES=DIR attaches the detached
# signatures of DIR instead, all three of them, each of which must be the
# publisher's (XV_SIGN_LEAF_SHA256): a rebuild of a signed release then gives
# its signed files byte for byte. Without either, the release is unsigned
# and says so.
#
# A tag vX.Y.Z on the commit must match the project's version (the top
# CMakeLists.txt), or the release is refused.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$XV_ROOT/scripts/release/sign.sh"

fail() {
  echo "release.sh: $*" >&2
  exit 1
}

# What the caller may pass through the clean environment.
PASSED=(XV_SIGN_CERT XV_SIGN_KEY XV_SIGN_PKCS11_MODULE XV_SIGN_PASS_FILE XV_SIGN_CA XV_TSA_CA XV_SIGN_LEAF_SHA256
        XV_SIGN_CRL XV_TIMESTAMP_URL XV_TSA_CERT XV_TSA_KEY XV_RELEASE_SIGNATURES XV_SIGN_UNTIMESTAMPED)

# dist_replaceable FOLDER: absent, empty, or an earlier release.
dist_replaceable() {
  [ ! -e "$1" ] || { [ -d "$1" ] && { [ -z "$(ls -A "$1")" ] || [ -f "$1/SHA256SUMS" ]; }; }
}

# The first stage, in the working tree: the commit, its archive, and the
# archived copy of this script started under a clean environment.
start_from_archive() {
  local check=$1 commit epoch version tag dist work name value
  cd "$XV_ROOT"
  commit=$(git rev-parse HEAD)
  epoch=$(git log -1 --format=%ct HEAD)
  version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project(xvVistrell VERSION \([0-9.]*\).*/\1/p')
  [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no four-part version in the top CMakeLists.txt of $commit"
  for tag in $(git tag --points-at HEAD 'v*'); do
    [ "$tag" = "v${version%.*}" ] || fail "the tag $tag does not match the project's version ${version%.*}"
  done
  dist=$(realpath -m "${XV_DIST:-$XV_ROOT/dist}")
  dist_replaceable "$dist" ||
    fail "$dist holds files but no earlier release (SHA256SUMS): give XV_DIST an absent or empty folder"
  xv_install_packages
  [ -z "$(git status --porcelain --untracked-files=no)" ] ||
    xv_log "NOTE: the working tree has uncommitted changes; the release is made from $commit without them"
  work=$(mktemp -d "${TMPDIR:-/tmp}/xvVistrell-release.XXXXXX")
  mkdir "$work/source" "$work/home"
  git -c core.autocrlf=false -c core.eol=lf archive --format=tar -o "$work/source.tar" "$commit"
  tar -x -C "$work/source" -f "$work/source.tar"
  local environment=(PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 HOME="$work/home" TMPDIR="$work"
                     XV_RELEASE_WORK="$work" XV_RELEASE_COMMIT="$commit" XV_RELEASE_EPOCH="$epoch"
                     XV_RELEASE_VERSION="$version" XV_RELEASE_CHECK="$check" XV_DIST="$dist")
  for name in "${PASSED[@]}"; do
    value=${!name:-}
    [ -n "$value" ] || continue
    if [ -e "$value" ]; then value=$(realpath "$value"); fi
    environment+=("$name=$value")
  done
  cd /
  exec env -i "${environment[@]}" /bin/bash -c 'umask 022 && exec /bin/bash "$0"' "$work/source/scripts/release.sh"
}

if [ -z "${XV_RELEASE_WORK:-}" ]; then
  case "${1:-}" in
    --check) start_from_archive 1 ;;
    "") start_from_archive "" ;;
    *)
      echo "usage: scripts/release.sh [--check]" >&2
      exit 2
      ;;
  esac
fi

# From here on: the commit's own copy, in the clean environment.
work=$XV_RELEASE_WORK commit=$XV_RELEASE_COMMIT epoch=$XV_RELEASE_EPOCH
product_version=${XV_RELEASE_VERSION%.*}
msi=xvVistrell-$product_version.msi
signed_files=(xvVistrell.exe xvVistrell_setup.dll "$msi")

# place IN OUT NAME MODE SIGNATURES: puts IN into the folder OUT as NAME:
# signed (MODE sign), with its detached signature from SIGNATURES (attach),
# or as it is (unsigned).
place() {
  local in=$1 out=$2 name=$3
  case $4 in
    attach)
      xv_attach_signature "$in" "$5/$name.p7s" "$out/$name" "$epoch" || fail "$name: see above"
      cp "$5/$name.p7s" "$out/$name.p7s"
      ;;
    sign)
      xv_sign "$in" "$out/$name" "$epoch" || fail "signing $name failed"
      xv_verify "$out/$name" "$epoch" || fail "the signature of $name does not verify"
      xv_extract_signature "$out/$name" "$out/$name.p7s"
      ;;
    *) cp "$in" "$out/$name" ;;
  esac
  if [ "$4" != unsigned ] && [ "$(xv_signature_digest "$out/$name")" != SHA256 ]; then
    fail "$name is signed with $(xv_signature_digest "$out/$name"), not SHA-256"
  fi
}

# make_dist FOLDER TZ MODE SIGNATURES: one whole release in FOLDER/dist.
make_dist() {
  local root=$1 out=$1/dist mode=$3 signatures=${4:-}
  export TZ=$2 SOURCE_DATE_EPOCH=$epoch
  mkdir -p "$root/src" "$out"
  tar -x -C "$root/src" -f "$work/source.tar"
  xv_log "Building $commit in $root (TZ=$TZ, $(date -u '+%F %T UTC'))"
  if ! { cmake -S "$root/src" -B "$root/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/src/cmake/toolchain-mingw-i686.cmake" &&
    cmake --build "$root/build" -j "$(nproc)" --target xvVistrell xv_setup_actions; } >"$root/build.log" 2>&1; then
    grep -E -B2 -A12 'error|Error' "$root/build.log" | head -60 >&2
    fail "the build failed"
  fi
  local maps=("$root/build/service/xvVistrell.map" "$root/build/packaging/xvVistrell_setup.map")
  /usr/bin/python3 "$root/src/scripts/release/linked.py" "$root/src/packaging/notices.txt" "${maps[@]}" ||
    fail "packaging/notices.txt lacks the notices of what is linked (above)"
  place "$root/build/service/xvVistrell.exe" "$out" xvVistrell.exe "$mode" "$signatures"
  place "$root/build/packaging/xvVistrell_setup.dll" "$out" xvVistrell_setup.dll "$mode" "$signatures"
  # The package holds the signed images, so what it installs is signed too.
  bash "$root/src/packaging/make-msi.sh" "$root/$msi" "$product_version" "$out/xvVistrell.exe" \
    "$out/xvVistrell_setup.dll" "$root/src/packaging/xvVistrell.wxs" i686 "$root/src/packaging/notices.txt"
  place "$root/$msi" "$out" "$msi" "$mode" "$signatures"
  sed 's/\r*$/\r/' "$root/src/packaging/notices.txt" >"$out/THIRD-PARTY-NOTICES.txt"
  local sbom_options=()
  if [ "$mode" != unsigned ]; then
    sbom_options=(--signed)
    echo "$XV_SIGN_LEAF_SHA256" >"$out/signing-certificate.sha256"
  fi
  /usr/bin/python3 "$root/src/scripts/release/sbom.py" "$out/xvVistrell-$product_version.spdx.json" \
    --version "$product_version" --epoch "$epoch" --commit "$commit" --compiler i686-w64-mingw32-g++-posix \
    "${sbom_options[@]}" --map "${maps[0]}" --map "${maps[1]}" \
    "$out/xvVistrell.exe" "$out/xvVistrell_setup.dll" "$out/$msi" "$out/THIRD-PARTY-NOTICES.txt"
  local sums
  sums=$(cd "$out" && find . -maxdepth 1 -type f -printf '%P\n' | LC_ALL=C sort | xargs sha256sum)
  printf '%s\n' "$sums" >"$out/SHA256SUMS"
}

# compare A B: every file of both folders, byte for byte.
compare() {
  local differing=0 name first count
  for name in $( (ls "$1"; ls "$2") | LC_ALL=C sort -u); do
    if [ ! -e "$1/$name" ] || [ ! -e "$2/$name" ]; then
      echo "DIFFERS: $name is in one build only"
      differing=1
    elif ! first=$(cmp "$1/$name" "$2/$name" 2>&1); then
      count=$(cmp -l "$1/$name" "$2/$name" 2>/dev/null | wc -l)
      first=$(sed -n 's/.* byte \([0-9]*\).*/\1/p' <<<"$first")
      printf 'DIFFERS: %s: %s bytes, the first at offset %s (0x%x)%s\n' "$name" "$count" "$((first - 1))" \
        "$((first - 1))" "$([ "$(stat -c %s "$1/$name")" = "$(stat -c %s "$2/$name")" ] || echo '; sizes differ')"
      differing=1
    else
      echo "identical: $name"
    fi
  done
  return $differing
}

# The second build of --check, started by the first in its own process (so
# that faketime and the network namespace hold for it alone).
if [ -n "${XV_RELEASE_SECOND:-}" ]; then
  make_dist "$XV_RELEASE_SECOND" Pacific/Kiritimati "$XV_RELEASE_SECOND_MODE" "$work/first/dist"
  exit 0
fi

trap 'rm -rf "$work"' EXIT
started=$SECONDS
signatures=${XV_RELEASE_SIGNATURES:-}
if [ -n "$signatures" ]; then
  mode=attach
  [ -d "$signatures" ] || fail "XV_RELEASE_SIGNATURES: $signatures is not a folder"
  for name in "${signed_files[@]}"; do
    [ -f "$signatures/$name.p7s" ] || fail "XV_RELEASE_SIGNATURES: $signatures lacks $name.p7s"
  done
  [ -n "${XV_SIGN_LEAF_SHA256:-}" ] ||
    fail "XV_RELEASE_SIGNATURES needs XV_SIGN_LEAF_SHA256, the SHA-256 of the publisher's signing certificate"
elif xv_sign_configured; then
  mode=sign
  xv_timestamp_configured || [ "${XV_SIGN_UNTIMESTAMPED:-}" = 1 ] ||
    fail "refusing to sign without an RFC 3161 timestamp (XV_TIMESTAMP_URL): Windows stops accepting the" \
      "signature when the certificate expires; XV_SIGN_UNTIMESTAMPED=1 signs without one"
  XV_SIGN_LEAF_SHA256=$(xv_signer_sha256) || fail "the signing certificate's SHA-256 is not known"
  export XV_SIGN_LEAF_SHA256
else
  mode=unsigned
  xv_log "NOTE: XV_SIGN_CERT and XV_SIGN_KEY are not set: the release will be UNSIGNED"
fi
if [ "$mode" != unsigned ]; then
  [ -n "$(xv_osslsigncode_version)" ] || fail "osslsigncode is not installed"
  xv_log "Signing with osslsigncode $(xv_osslsigncode_version), the certificate sha256:$XV_SIGN_LEAF_SHA256"
fi
make_dist "$work/first" UTC "$mode" "${XV_RELEASE_SIGNATURES:-}"
if [ -n "$XV_RELEASE_CHECK" ]; then
  # Elsewhere, later, on the other side of the date line, with the clock 1000
  # days on (past a short certificate's expiry) and no network; the
  # signatures of the first build are attached, as anyone who rebuilds the
  # release would.
  isolation=()
  if unshare -n true 2>/dev/null; then
    isolation=(unshare -n)
  elif unshare -rn true 2>/dev/null; then
    isolation=(unshare -rn)
  else
    xv_log "NOTE: no network namespace here: the second build runs with the network"
  fi
  second_mode=$([ "$mode" = unsigned ] && echo unsigned || echo attach)
  "${isolation[@]}" env XV_RELEASE_SECOND="$work/second/elsewhere" XV_RELEASE_SECOND_MODE="$second_mode" \
    faketime -f +1000d /bin/bash "$0" || fail "the second build failed"
  xv_log "Comparing the two builds"
  compare "$work/first/dist" "$work/second/elsewhere/dist" || fail "the two builds differ"
fi
dist=$XV_DIST
dist_replaceable "$dist" || fail "$dist now holds files but no earlier release: the release is not put there"
rm -rf "$dist"
mkdir -p "$(dirname "$dist")"
mv "$work/first/dist" "$dist"
xv_log "Release $product_version of $commit in $dist ($((SECONDS - started)) s)"
cat "$dist/SHA256SUMS"
if [ "$mode" = unsigned ]; then
  echo "UNSIGNED: no signing key was given (XV_SIGN_CERT, XV_SIGN_KEY)."
else
  echo "Signed by the certificate sha256:$XV_SIGN_LEAF_SHA256; the signatures verify at $(date -u -d "@$epoch" '+%F %T UTC') against ${XV_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}."
fi
