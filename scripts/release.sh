#!/usr/bin/env bash
# scripts/release.sh [--check]
# Makes the release of the commit checked out (HEAD; uncommitted changes are
# not part of it) in dist/ (XV_DIST): the 32-bit xvVistrell.exe, the Windows
# Installer package and its setup DLL, the licence notices of the code linked
# into them (THIRD-PARTY-NOTICES.txt, which the package installs too), a bill
# of materials (xvVistrell-<version>.spdx.json, SPDX 2.3) and SHA256SUMS.
#
# The build is reproducible: the sources come from the commit (git archive),
# SOURCE_DATE_EPOCH is the commit's time, and the package's dates, codes and
# file times are derived from it (packaging/make-msi.sh). --check builds a
# second time, in another folder and another time zone, and fails on any
# differing byte, naming the file and the first offset.
#
# Signing (scripts/release/sign.sh names the variables): with XV_SIGN_CERT and
# XV_SIGN_KEY the executable and the setup DLL are signed before they are
# packaged, then the package; each signature is verified, and its detached
# copy (<file>.p7s) goes into dist/ too. XV_RELEASE_SIGNATURES=DIR attaches
# the detached signatures of DIR instead: a rebuild of a signed release then
# gives its signed files byte for byte. Without either, the release is
# unsigned and says so.
#
# A tag vX.Y.Z on the commit must match the project's version (the top
# CMakeLists.txt), or the release is refused.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$XV_ROOT/scripts/release/sign.sh"

check=""
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *)
    echo "usage: scripts/release.sh [--check]" >&2
    exit 2
    ;;
esac
dist=$(realpath -m "${XV_DIST:-$XV_ROOT/dist}")

fail() {
  echo "release.sh: $*" >&2
  exit 1
}

cd "$XV_ROOT"
commit=$(git rev-parse HEAD)
epoch=$(git log -1 --format=%ct HEAD)
version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project(xvVistrell VERSION \([0-9.]*\).*/\1/p')
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no four-part version in the top CMakeLists.txt of $commit"
product_version=${version%.*}
for tag in $(git tag --points-at HEAD 'v*'); do
  [ "$tag" = "v$product_version" ] || fail "the tag $tag does not match the project's version $product_version"
done

xv_install_packages
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  xv_log "NOTE: the working tree has uncommitted changes; the release is made from $commit without them"

work=$(mktemp -d "${TMPDIR:-/tmp}/xvVistrell-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
msi=xvVistrell-$product_version.msi

# place IN OUT NAME SIGNATURES: puts IN into the folder OUT as NAME, signed
# when a detached signature of it is in SIGNATURES or a key is configured.
place() {
  local in=$1 out=$2 name=$3 signatures=$4
  if [ -n "$signatures" ] && [ -e "$signatures/$name.p7s" ]; then
    xv_attach_signature "$in" "$signatures/$name.p7s" "$out/$name"
    cp "$signatures/$name.p7s" "$out/$name.p7s"
  elif xv_sign_configured; then
    xv_sign "$in" "$out/$name" "$epoch"
    xv_extract_signature "$out/$name" "$out/$name.p7s"
  else
    cp "$in" "$out/$name"
  fi
}

# make_dist FOLDER TZ SIGNATURES: one whole release in FOLDER/dist.
make_dist() {
  local root=$1 out=$1/dist
  export TZ=$2 SOURCE_DATE_EPOCH=$epoch
  mkdir -p "$root/src" "$out"
  git archive "$commit" | tar -x -C "$root/src"
  xv_log "Building $commit in $root (TZ=$TZ)"
  if ! { cmake -S "$root/src" -B "$root/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/src/cmake/toolchain-mingw-i686.cmake" &&
    cmake --build "$root/build" -j "$(nproc)" --target xvVistrell xv_setup_actions; } >"$root/build.log" 2>&1; then
    grep -E -B2 -A12 'error|Error' "$root/build.log" | head -60 >&2
    fail "the build failed"
  fi
  place "$root/build/service/xvVistrell.exe" "$out" xvVistrell.exe "$3"
  place "$root/build/packaging/xvVistrell_setup.dll" "$out" xvVistrell_setup.dll "$3"
  # The package holds the signed images, so what it installs is signed too.
  bash "$root/src/packaging/make-msi.sh" "$root/$msi" "$product_version" "$out/xvVistrell.exe" \
    "$out/xvVistrell_setup.dll" "$root/src/packaging/xvVistrell.wxs" i686 "$root/src/packaging/notices.txt"
  place "$root/$msi" "$out" "$msi" "$3"
  local file
  for file in xvVistrell.exe xvVistrell_setup.dll "$msi"; do
    if [ -e "$out/$file.p7s" ]; then xv_verify "$out/$file"; fi
  done
  sed 's/\r*$/\r/' "$root/src/packaging/notices.txt" >"$out/THIRD-PARTY-NOTICES.txt"
  /usr/bin/python3 "$root/src/scripts/release/sbom.py" "$out/xvVistrell-$product_version.spdx.json" \
    "$product_version" "$epoch" i686-w64-mingw32-g++-posix \
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

started=$SECONDS
xv_sign_configured || [ -n "${XV_RELEASE_SIGNATURES:-}" ] ||
  xv_log "NOTE: XV_SIGN_CERT and XV_SIGN_KEY are not set: the release will be UNSIGNED"
make_dist "$work/first" UTC "${XV_RELEASE_SIGNATURES:-}"
if [ -n "$check" ]; then
  # Elsewhere, later, on the other side of the date line; the signatures of
  # the first build are attached, as anyone who rebuilds the release would.
  make_dist "$work/second/elsewhere" Pacific/Kiritimati "$work/first/dist"
  xv_log "Comparing the two builds"
  compare "$work/first/dist" "$work/second/elsewhere/dist" || fail "the two builds differ"
fi
rm -rf "$dist"
mkdir -p "$(dirname "$dist")"
mv "$work/first/dist" "$dist"
xv_log "Release $product_version of $commit in $dist ($((SECONDS - started)) s)"
cat "$dist/SHA256SUMS"
if ls "$dist"/*.p7s >/dev/null 2>&1; then
  echo "Signed; the signatures verify against ${XV_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}."
else
  echo "UNSIGNED: no signing key was given (XV_SIGN_CERT, XV_SIGN_KEY)."
fi
