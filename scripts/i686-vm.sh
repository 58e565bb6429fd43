#!/usr/bin/env bash
# An emulated x86 machine (qemu, no hardware virtualisation needed) with
# 32-bit Wine, for the machines that cannot run 32-bit x86 code themselves.
#
#   scripts/i686-vm.sh build                 makes the machine's disk (once)
#   scripts/i686-vm.sh run [OPTIONS] -- CMD  boots it, runs CMD inside
#
# run shares the checkout into the machine at the same absolute path, runs
# CMD as root in the current folder, streams its output and returns its exit
# code; the machine is always shut down. Options of run:
#   --local DIR   DIR is backed by the machine's own disk for this run (a
#                 folder of many small files, a Wine prefix for example, is
#                 slow over the share); what is left in it is copied back
#                 into DIR.vm at the end
#   --prefix DIR  DIR shows the ready 32-bit Wine prefix made with the disk
#                 (changes to it last for this run only)
#
# The disk is made from Debian's packages only, from the archive this
# machine's own apt sources name, and cached in XV_VM_CACHE (default
# /var/cache/xvvistrell-vm) under a key of the package list and the steps
# that make the disk, so a change to either makes a new one. XV_VM_TIMEOUT (seconds, default
# 5400) ends a run that hangs.
set -euo pipefail
# The machine runs the 32-bit build; the shared steps give xv_apt_install.
XV_ARCH=i686
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The machine's packages. linux-image and initramfs-tools give the kernel and
# an initrd that finds the root disk; the rest is what the tests call.
XV_VM_PACKAGES=(linux-image-amd64 initramfs-tools udev kmod procps
                wine wine32:i386 wine32-preloader:i386
                cmake make python3 python3-pefile)
# What this machine needs to make and run it.
XV_VM_HOST_PACKAGES=(mmdebstrap qemu-system-x86 e2fsprogs)
XV_VM_CACHE=${XV_VM_CACHE:-/var/cache/xvvistrell-vm}
XV_VM_TIMEOUT=${XV_VM_TIMEOUT:-5400}
# Where the ready 32-bit prefix lives on the machine's disk.
XV_VM_PREFIX=/var/lib/xvvistrell/prefix

# Makes the ready prefix inside the machine. On a busy host, "wineboot -i" has
# been seen to return with the prefix half made (its system32 cut off in the
# middle, so every later Wine process, wineboot too, aborted in shell32): a
# prefix counts as made once a program runs in it; otherwise it is made anew.
read -r -d '' XV_VM_MAKE_PREFIX <<MAKE || true
export WINEARCH=win32 WINEPREFIX=$XV_VM_PREFIX WINEDEBUG=-all
for try in 1 2 3; do
  rm -rf "\$WINEPREFIX"; mkdir -p "\$WINEPREFIX"
  wineboot -i; wineserver -w
  wine cmd /c exit 0 >/dev/null 2>&1 && wineserver -w && exit 0
  echo "== The 32-bit prefix is not complete (try \$try of 3): made anew"
  wineserver -k
done
exit 1
MAKE

# The first program of the machine, baked into its disk: it mounts the run's
# job folder and hands over to the job's own script (scripts/i686-vm/guest.sh,
# copied there at every run, so that script can change without a new disk).
read -r -d '' XV_VM_BOOT <<'BOOT' || true
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null || true
modprobe -q 9pnet_virtio
modprobe -q 9p
mkdir -p /xv-job
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 xvjob /xv-job
exec /bin/bash /xv-job/guest.sh
BOOT

vm_log() { printf '== %s\n' "$*" >&2; }

vm_install_host_packages() {
  local missing=() sudo=""
  for package in "${XV_VM_HOST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  vm_log "Installing ${missing[*]}"
  xv_apt_install $sudo --no-install-recommends "${missing[@]}"
}

# This machine's own Debian archive entries, as one-line apt sources.
vm_apt_sources() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] && grep -E '^deb\s' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk 'function flush() {
           if (types ~ /(^| )deb( |$)/ && uris != "" && enabled != "no") {
             n = split(uris, u, " "); m = split(suites, s, " ")
             for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
               printf "deb %s%s %s %s\n", (key != "" ? "[signed-by=" key "] " : ""), u[i], s[j], comps
           }
           types = uris = suites = comps = key = enabled = ""
         }
         /^[ \t]*#/ { next }
         /^[ \t]*$/ { flush(); next }
         { v = $0; sub(/^[^:]*:[ \t]*/, "", v) }
         tolower($1) == "types:" { types = v } tolower($1) == "uris:" { uris = v }
         tolower($1) == "suites:" { suites = v } tolower($1) == "components:" { comps = v }
         tolower($1) == "signed-by:" { key = v } tolower($1) == "enabled:" { enabled = tolower(v) }
         END { flush() }' "$file"
  done
}

# The cache key: the packages and the steps that make the disk (not the
# rest of this script, so changing how a run goes keeps the disk).
vm_key() {
  { printf '%s\n' "${XV_VM_PACKAGES[@]}" "$XV_VM_BOOT" "$XV_VM_MAKE_PREFIX"; declare -f vm_build; } | sha256sum | cut -c1-16
}

vm_dir() { printf '%s/%s' "$XV_VM_CACHE" "$(vm_key)"; }

# vm_make_root WORK CODENAME PACKAGES SOURCE...: the root file system in
# WORK/root. Each try is repeated twice half a minute apart, since a mirror can be
# mid-sync for a while. Where an archive index still fails, the root is made
# from the other suites, with a warning that names the index: the machine is a
# throw-away test machine without a network, so a suite's updates (the
# security suite's, as seen here) matter less there than a test run that can
# happen at all, and leaving the whole suite out keeps the amd64 and i386
# libraries at the same versions.
vm_make_root() {
  local work=$1 codename=$2 packages=$3 attempt failed suite
  shift 3
  local sources=("$@")
  for attempt in 1 2 3 4; do
    rm -rf "$work/root"
    mmdebstrap --mode=root --variant=minbase --architectures=amd64,i386 \
      --include="$packages" \
      --customize-hook="copy-in $work/xv-boot /sbin" \
      --customize-hook='chmod 755 "$1/sbin/xv-boot"' \
      --customize-hook='rm -f "$1"/var/cache/apt/*.bin; rm -rf "$1"/var/lib/apt/lists/*' \
      "$codename" "$work/root" "${sources[@]}" >"$work/mmdebstrap.log" 2>&1 && return 0
    failed=$(xv_failed_indexes "$work/mmdebstrap.log")
    if [ -z "$failed" ] || [ "$attempt" -eq 4 ]; then
      tail -n 30 "$work/mmdebstrap.log" >&2
      return 1
    fi
    vm_log "These archive indexes could not be read: $failed"
    if [ "$attempt" -lt 3 ]; then
      vm_log "Again in 30 s"
      sleep 30
      continue
    fi
    for suite in $(xv_index_suites "$failed"); do
      vm_log "WARNING: the machine's disk is made without the suite $suite"
      mapfile -t sources < <(printf '%s\n' "${sources[@]}" | awk -v suite="$suite" '{
        for (i = 1; i <= NF; i++) if ($i ~ /^(https?|file):/) { if ($(i + 1) != suite) print; next }
        print }')
    done
  done
}

# Makes the root file system, its disk image and the ready prefix, once per
# key. A lock keeps two runs from making it at the same time.
vm_build() {
  local dir
  dir=$(vm_dir)
  [ -f "$dir/ready" ] && return 0
  vm_install_host_packages
  mkdir -p "$XV_VM_CACHE"
  exec 9>"$XV_VM_CACHE/build.lock"
  flock 9
  [ -f "$dir/ready" ] && return 0
  local work="$dir.partial" codename sources started=$SECONDS
  rm -rf "$work"
  mkdir -p "$work"
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mapfile -t sources < <(vm_apt_sources)
  [ ${#sources[@]} -gt 0 ] || { echo "No Debian archive in this machine's apt sources" >&2; return 1; }
  printf '%s\n' "$XV_VM_BOOT" >"$work/xv-boot"
  vm_log "Making the machine's root file system in $work (Debian $codename, several minutes)"
  local packages
  packages=$(IFS=,; echo "${XV_VM_PACKAGES[*]}")
  vm_make_root "$work" "$codename" "$packages" "${sources[@]}"
  cp "$(ls "$work"/root/boot/vmlinuz-* | tail -n 1)" "$work/vmlinuz"
  cp "$(ls "$work"/root/boot/initrd.img-* | tail -n 1)" "$work/initrd.img"
  vm_log "Making the disk image"
  mke2fs -q -t ext4 -L xvroot -d "$work/root" "$work/root.img" 8G
  rm -rf "$work/root"
  vm_log "Root and disk made in $((SECONDS - started)) s; making the ready 32-bit prefix inside"
  XV_VM_DIR=$work XV_VM_WRITABLE=1 vm_run -- /bin/sh -c "$XV_VM_MAKE_PREFIX"
  rm -rf "$dir"
  mv "$work" "$dir"
  touch "$dir/ready"
  vm_log "Machine ready in $dir after $((SECONDS - started)) s"
}

# The exit trap of a run: switches the machine off and removes the job.
vm_stop() {
  set +e
  if [ -n "${qemu_pid:-}" ] && kill "$qemu_pid" 2>/dev/null; then
    sleep 2
    kill -9 "$qemu_pid" 2>/dev/null
  fi
  if [ -n "${tail_pid:-}" ]; then kill "$tail_pid" 2>/dev/null; fi
  if [ -n "${vm_job:-}" ]; then rm -rf "$vm_job"; fi
  return 0
}

# Boots the machine and runs the command after "--" in it.
vm_run() {
  local locals=() prefix=""
  while [ $# -gt 0 ]; do
    case $1 in
      --local) locals+=("$(realpath -m "$2")"); shift 2 ;;
      --prefix) prefix=$(realpath -m "$2"); shift 2 ;;
      --) shift; break ;;
      *) echo "unknown option $1 (usage: run [--local DIR] [--prefix DIR] -- COMMAND)" >&2; return 2 ;;
    esac
  done
  [ $# -gt 0 ] || { echo "run: no command" >&2; return 2; }
  local dir=${XV_VM_DIR:-$(vm_dir)} status
  # Globals: the exit trap still needs them after this function has returned.
  qemu_pid="" tail_pid=""
  vm_job=$(mktemp -d "${TMPDIR:-/tmp}/xv-vm.XXXXXX")
  # Whatever way this ends, the machine is switched off and the job removed.
  trap vm_stop EXIT
  trap 'exit 130' INT TERM HUP
  cp "$XV_ROOT/scripts/i686-vm/guest.sh" "$XV_ROOT/scripts/i686-vm/fresh-prefix" "$vm_job/"
  {
    printf 'XV_VM_SHARE=%q\nXV_VM_CWD=%q\nXV_VM_PREFIX_AT=%q\nXV_VM_PREFIX=%q\n' \
      "$XV_ROOT" "$PWD" "$prefix" "$XV_VM_PREFIX"
    printf 'XV_VM_LOCALS=(%s)\n' "$([ ${#locals[@]} -eq 0 ] || printf '%q ' "${locals[@]}")"
    printf 'XV_VM_COMMAND=(%s)\n' "$(printf '%q ' "$@")"
  } >"$vm_job/job"
  : >"$vm_job/output"
  local snapshot=(-snapshot)
  [ -n "${XV_VM_WRITABLE:-}" ] && snapshot=()
  vm_log "Booting the i686 test machine (qemu, emulated)"
  timeout -k 10 "$XV_VM_TIMEOUT" qemu-system-x86_64 -accel tcg -cpu qemu64 -smp "$(nproc)" -m 4G \
    -display none -monitor none -no-reboot -nic none "${snapshot[@]}" \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/xv-boot no_timer_check panic=1 quiet" \
    -drive "file=$dir/root.img,if=virtio,format=raw" \
    -virtfs "local,path=$vm_job,mount_tag=xvjob,security_model=none" \
    -virtfs "local,path=$XV_ROOT,mount_tag=xvroot,security_model=none" \
    -serial "file:$vm_job/console.log" -serial "file:$vm_job/output" </dev/null &
  qemu_pid=$!
  tail -n +1 -F --pid="$qemu_pid" "$vm_job/output" 2>/dev/null &
  tail_pid=$!
  wait "$qemu_pid" || true
  qemu_pid=""
  wait "$tail_pid" 2>/dev/null || true
  tail_pid=""
  if [ ! -f "$vm_job/status" ]; then
    echo "The i686 machine stopped without the command's exit status; its console:" >&2
    tail -n 40 "$vm_job/console.log" >&2
    return 1
  fi
  status=$(cat "$vm_job/status")
  return "$status"
}

# mmdebstrap's root mode and the cache folder need root, once.
vm_check_root() {
  [ -f "$(vm_dir)/ready" ] || [ "$(id -u)" -eq 0 ] && return 0
  echo "Making the i686 machine's disk needs root once: sudo $0 build" >&2
  return 1
}

main() {
  case ${1:-} in
    build) vm_check_root && vm_build ;;
    run) shift; vm_check_root && vm_build && vm_run "$@" ;;
    *) sed -n '2,/^set -e/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//' >&2; return 2 ;;
  esac
}
# One line, so that editing this file while it runs does not change the run.
main "$@"; exit $?
