# Shared steps of the project's scripts: install what is missing, build,
# and keep a Wine prefix with its server up. Source it; do not run it.

XV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian only suggests Wine's preloaders. Without one, a library the system
# loader placed at random can sit where Wine needs the Windows address space,
# and then a Wine process now and then fails to start ("failed to map the
# shared user data", "could not load kernel32.dll").
XV_PACKAGES=(wine wine64 wine64-preloader g++-mingw-w64-i686-posix binutils-mingw-w64-i686
             g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools cmake make googletest
             python3 python3-pefile python3-olefile wixl msitools osslsigncode clang-format clang-tidy
             g++-i686-linux-gnu qemu-user)
# Only where the kernel runs 32-bit x86 code (xv_kernel_runs_i386): nothing
# else could run them.
XV_PACKAGES_I386=(wine32:i386 wine32-preloader:i386)

xv_log() { printf '\n== %s\n' "$*"; }

# True where the kernel runs 32-bit x86 code: a 96-byte static 32-bit Linux
# program (exit(42) through int 0x80) runs. Asked before Wine is installed,
# so a machine that cannot run its 32-bit part never installs it.
xv_kernel_runs_i386() {
  local program status=0
  program=$(mktemp)
  printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0'"$(
    )"'\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08'"$(
    )"'\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >"$program"
  chmod 755 "$program"
  "$program" 2>/dev/null || status=$?
  rm -f "$program"
  [ "$status" -eq 42 ]
}

# True where Wine's 32-bit loader starts (it is installed and the kernel runs it).
xv_runs_i386() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# Installs the Debian packages the build and the tests need, once. Inside the
# i686 test machine (XV_VM, see scripts/i686-vm.sh) all is there already and
# there is no network.
xv_install_packages() {
  [ -n "${XV_VM:-}" ] && return 0
  xv_install_missing
  if [ "$XV_ARCH" != i686 ] && [ -z "${XV_ARCH_NOTED:-}" ] && ! xv_runs_i386; then
    xv_log "NOTE: this machine cannot run 32-bit x86 code: the x86-64 build is tested under 64-bit Wine"
    export XV_ARCH_NOTED=1
  fi
  # XV_ARCH=i686 asked for where 32-bit code cannot run: the i686 build is made
  # here and its tests run in the emulated machine. XV_I686_VM=1 asks for the
  # machine where 32-bit code runs too (to check the machine itself).
  if [ "$XV_ARCH" = i686 ] && { [ -n "${XV_I686_VM:-}" ] || ! xv_runs_i386; }; then
    export XV_I686_VM=1
  fi
}

xv_install_missing() {
  local missing=() wanted=("${XV_PACKAGES[@]}")
  xv_kernel_runs_i386 && wanted+=("${XV_PACKAGES_I386[@]}")
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  xv_log "Installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  xv_apt_install $sudo "${missing[@]}"
}

# xv_failed_indexes LOG: the archive indexes that apt (or mmdebstrap) could
# not fetch, as its log names them; xv_index_suites INDEXES: their suites.
xv_failed_indexes() { sed -n 's/^.*[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$1" | sort -u; }
xv_index_suites() { sed -n 's|.*/dists/\([^/]*\)/.*|\1|p' <<<"$1" | sort -u; }

# xv_apt_install [sudo] PACKAGE...: apt-get update and install, each tried
# three times half a minute apart, since a mirror can be mid-sync for a while.
# Where an index still fails (the archive names it), its suite is left out
# of this install, with a warning: the same packages then come from the
# other suites. Left in, a suite whose i386 index is missing gives amd64
# libraries newer than their i386 twins, which Multi-Arch cannot install
# side by side.
xv_apt_install() {
  local sudo="" attempt log failed suites=() preferences=/dev/null
  [ "$1" = sudo ] && { sudo=sudo; shift; }
  log=$(mktemp)
  for attempt in 1 2 3; do
    $sudo apt-get update -qq >"$log" 2>&1 && break
    [ "$attempt" -lt 3 ] && { echo "apt-get update failed; again in 30 s" >&2; sleep 30; }
  done
  failed=$(xv_failed_indexes "$log")
  if [ -n "$failed" ]; then
    mapfile -t suites < <(xv_index_suites "$failed")
    printf 'WARNING: these archive indexes could not be read:\n%s\n' "$failed" >&2
    printf 'WARNING: installing without the suites %s\n' "${suites[*]}" >&2
    preferences=$(mktemp)
    for suite in "${suites[@]}"; do
      printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n\n' "$suite" >>"$preferences"
    done
  fi
  for attempt in 1 2 3; do
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o Dir::Etc::Preferences="$preferences" \
      install -y -qq "$@" >"$log" 2>&1 && break
    if [ "$attempt" -eq 3 ]; then
      tail -n 20 "$log" >&2
      rm -f "$log"
      return 1
    fi
    echo "apt-get install failed; again in 30 s" >&2
    sleep 30
  done
  rm -f "$log"
  [ "$preferences" = /dev/null ] || rm -f "$preferences"
}

# The product is a 32-bit image, and Wine runs it only where the kernel runs
# 32-bit x86 code. Some virtual machines switch that off (Linux's
# ia32_emulation), and then even Wine's own 32-bit loader cannot start. There
# the same sources are built for x86-64 and tested under 64-bit Wine, so every
# test still runs, but the checks that only mean something for the 32-bit
# image (its PE header and imports, the two calling conventions) do not, and
# the scripts say so. XV_ARCH=i686 or x86_64 overrides the choice.
xv_choose_arch() {
  if [ -z "${XV_ARCH:-}" ]; then
    XV_ARCH=i686
    xv_kernel_runs_i386 || XV_ARCH=x86_64
  fi
  XV_BUILD=$(realpath -m "${XV_BUILD_REQUESTED:-$XV_ROOT/$([ "$XV_ARCH" = i686 ] && echo build || echo build-x86_64)}")
  XV_WINEARCH=$([ "$XV_ARCH" = i686 ] && echo win32 || echo win64)
  export XV_ARCH XV_BUILD XV_WINEARCH
  xv_wine_loader
}

# Under x86-64, every Wine call of the scripts and the tests goes through a
# "wine" on PATH that starts the 64-bit loader (Debian's own "wine" prefers
# the 32-bit one whenever it is installed).
xv_wine_loader() {
  [ "$XV_ARCH" = x86_64 ] || return 0
  local bin="$XV_BUILD/wine-x86_64" loader
  loader=$'#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"'
  mkdir -p "$bin"
  xv_put_script "$bin/wine" "$loader"
  xv_put_script "$bin/wine-stable" "$loader"
  xv_put_script "$bin/winepath" "$(printf '#!/bin/sh\nexec "%s/wine" winepath.exe "$@"\n' "$bin")"
  case ":$PATH:" in *":$bin:"*) ;; *) export PATH="$bin:$PATH" ;; esac
}

# xv_put_script PATH TEXT: makes PATH an executable script with TEXT. Every
# test sources this file while others run these scripts in parallel, and
# writing into a script another process is starting fails that start with
# "Text file busy": so an unchanged script is left alone, and a changed one
# is renamed into place whole.
xv_put_script() {
  [ -x "$1" ] && [ "$(cat "$1")" = "$(printf '%s' "$2")" ] && return 0
  local temporary
  temporary=$(mktemp "$1.XXXXXX")
  printf '%s\n' "$2" >"$temporary"
  chmod 755 "$temporary"
  mv -f "$temporary" "$1"
}

# The registry view the test programs see: 32-bit, or 64-bit under x86-64.
xv_registry_view() { [ "${XV_ARCH:-i686}" = x86_64 ] && echo /reg:64 || echo /reg:32; }

# Configures (once) and builds everything.
xv_build() {
  if [ ! -f "$XV_BUILD/CMakeCache.txt" ]; then
    xv_log "Configuring in $XV_BUILD"
    cmake -S "$XV_ROOT" -B "$XV_BUILD" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$XV_ROOT/cmake/toolchain-mingw-$XV_ARCH.cmake" >/dev/null
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
  export WINEARCH=$XV_WINEARCH
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

XV_BUILD_REQUESTED=${XV_BUILD:-}
xv_choose_arch
