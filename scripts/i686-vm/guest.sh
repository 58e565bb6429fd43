# The i686 test machine's first process after its boot program: sets the
# machine up, runs the job's command, leaves its exit status in the job folder
# and switches the machine off. The job file (written by scripts/i686-vm.sh)
# names the share, the folder, the command and the folders to back locally.
set -u
source /xv-job/job
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs tmpfs /run
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mkdir -p "$XV_VM_SHARE"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose xvroot "$XV_VM_SHARE"
hostname xv-i686
# The second serial port is the host's view of the command's output; raw, so
# lines end as the command ends them.
stty -F /dev/ttyS1 raw -echo 2>/dev/null
exec >/dev/ttyS1 2>&1 </dev/null
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb
export XV_VM=1 XV_VM_READY_PREFIX=$XV_VM_PREFIX
# Wine-heavy work runs 5 to 13 times slower here than natively: CTest's time
# limits are scaled (tests/time_scale.cmake).
export XV_TEST_TIME_SCALE=${XV_TEST_TIME_SCALE:-4}
for command in wine wine-stable wineserver; do
  install -m 755 /xv-job/fresh-prefix "/usr/local/bin/$command"
done

n=0
for dir in "${XV_VM_LOCALS[@]}"; do
  n=$((n + 1))
  mkdir -p "/var/lib/xvvistrell/local/$n" "$dir"
  mount --bind "/var/lib/xvvistrell/local/$n" "$dir"
done
if [ -n "$XV_VM_PREFIX_AT" ]; then
  mkdir -p "$XV_VM_PREFIX_AT"
  mount --bind "$XV_VM_PREFIX" "$XV_VM_PREFIX_AT"
fi

cd "$XV_VM_CWD" 2>/dev/null || cd "$XV_VM_SHARE"
"${XV_VM_COMMAND[@]}"
status=$?

# What a failed test kept in a local folder (its logs) goes back to the host;
# the Wine prefixes stay behind.
for dir in "${XV_VM_LOCALS[@]}"; do
  if [ -n "$(ls -A "$dir")" ]; then
    mkdir -p "$dir.vm"
    tar -C "$dir" --exclude=./*/prefix -cf - . | tar -C "$dir.vm" -xf -
  fi
done
echo "$status" >/xv-job/status
sync
umount "$XV_VM_SHARE" 2>/dev/null
# This script is read from the job share as it runs: that stays mounted, and
# nothing is said while the machine goes down.
exec >/dev/null 2>&1
echo o >/proc/sysrq-trigger
sleep 30
