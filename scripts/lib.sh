# Shared steps of the project's scripts: install what is missing, build,
# and keep a Wine prefix with its server up. Source it; do not run it.

XV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
XV_BUILD=$(realpath -m "${XV_BUILD:-$XV_ROOT/build}")

XV_PACKAGES=(wine wine32:i386 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
             mingw-w64-tools cmake make googletest python3 python3-pefile
             clang-format clang-tidy)

xv_log() { printf '\n== %s\n' "$*"; }

# Installs the Debian packages the build and the tests need, once.
xv_install_packages() {
  local missing=()
  for package in "${XV_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  xv_log "Installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Configures (once) and builds everything.
xv_build() {
  if [ ! -f "$XV_BUILD/CMakeCache.txt" ]; then
    xv_log "Configuring in $XV_BUILD"
    cmake -S "$XV_ROOT" -B "$XV_BUILD" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$XV_ROOT/cmake/toolchain-mingw-i686.cmake" >/dev/null
  fi
  xv_log "Building"
  if ! cmake --build "$XV_BUILD" -j "$(nproc)" >"$XV_BUILD/build.log" 2>&1; then
    grep -E -B2 -A12 'error|Error' "$XV_BUILD/build.log" | head -80
    echo "Build failed; the whole output is in $XV_BUILD/build.log" >&2
    return 1
  fi
}

# The environment every Wine call of the scripts uses.
xv_wine_env() {
  export WINEPREFIX=$1
  export WINEARCH=win32
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"winedbg.exe=d;mscoree,mshtml="}
}

# Makes the prefix if needed and keeps its Wine server up, so that every test
# binary starts warm and services are not killed between calls. Wine's helper
# processes inherit the caller's stderr: they get a file instead.
xv_wine_up() {
  local prefix=$1
  ( xv_wine_env "$prefix"
    mkdir -p "$prefix"
    wineserver -p 2>/dev/null || true  # already up: keep it
    wine cmd /c exit 0 >"$prefix.boot.log" 2>&1 </dev/null )
}

# Stops the prefix's Wine server and everything running in it.
xv_wine_down() {
  ( xv_wine_env "$1"; wineserver -k 2>/dev/null; wineserver -w 2>/dev/null ) || true
}
