#!/bin/sh
# First and only process started by the kernel of a zyg-nox test VM (busybox,
# from the initramfs that tests/vm/mkinitramfs builds).  It builds the guest's
# view of the host, runs one command in it and powers the VM off.
#
# The host (tests/vm/run-in-vm) shares two 9p trees with the guest:
#   host   the host's / , read-only; it becomes the lower layer of an overlay
#          whose upper layer is tmpfs, so the command may change any file and
#          nothing reaches the host;
#   ctl    a per-run host temp dir, writable: vm.env (settings, sh syntax),
#          run.sh (the command), and status, which this script writes;
# plus x0, x1, ... for each --export directory, mounted writable at the same
# path as on the host.
#
# Console protocol: everything before the start marker line is boot noise
# that the host hides; after it comes the command's output, unchanged; then
# a newline, the end marker and the exit status.  The markers carry a random
# nonce from vm.env so that no command output can fake them.

PATH=/bin
export PATH
/bin/busybox --install -s /bin

say() { echo "zyg-vm: $*"; }
stop() { sync; poweroff -f; sleep 60; }
fail() { say "error: $*"; stop; }

mkdir -p /proc /sys /dev /host /ctl /rw /newroot
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# The modules list is in load order (dependencies first); modules built into
# the kernel are simply absent from it.
while read -r m; do
  [ -n "$m" ] || continue
  insmod "/lib/modules/$m.ko" || say "warning: insmod $m failed"
done < /modules.list

# A large msize moves more data per 9p round trip; this is most of the speed
# of reading the host's files.
p9="trans=virtio,version=9p2000.L,msize=512000"
mount -t 9p -o "$p9" ctl /ctl || fail "cannot mount the control share"
[ -r /ctl/vm.env ] || fail "no /ctl/vm.env"
. /ctl/vm.env

# cache=loose lets the guest keep host files and directory entries cached:
# the host tree does not change under a test run, and every read over 9p is
# slow under emulation.
mount -t 9p -o "$p9,ro,cache=loose" host /host || fail "cannot mount the host root"
mount -t tmpfs -o mode=0755 tmpfs /rw || fail "cannot mount tmpfs"
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
  fail "cannot mount the overlay"

R=/newroot
mount -t proc proc $R/proc || fail "cannot mount /proc"
mount -t sysfs sysfs $R/sys || fail "cannot mount /sys"
mount -t devtmpfs devtmpfs $R/dev || fail "cannot mount /dev"
mkdir -p $R/dev/pts $R/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts $R/dev/pts
mount -t tmpfs -o mode=1777 tmpfs $R/dev/shm || fail "cannot mount /dev/shm"
mount -t tmpfs -o mode=1777 tmpfs $R/tmp || fail "cannot mount /tmp"
mount -t tmpfs -o mode=0755 tmpfs $R/run || fail "cannot mount /run"
mkdir -p $R/run/lock $R/run/zyg-vm
chmod 1777 $R/run/lock

# Exports come last so that one below /tmp or /run is not hidden by the
# fresh tmpfs mounted there.  They use no cache: every write must reach the
# host before the power goes off.
i=0
while [ "$i" -lt "${ZYG_VM_NEXPORT:-0}" ]; do
  eval "dir=\$ZYG_VM_EXPORT_$i"
  mkdir -p "$R$dir" && mount -t 9p -o "$p9" "x$i" "$R$dir" || fail "cannot mount export $dir"
  i=$((i + 1))
done

cp /ctl/run.sh $R/run/zyg-vm/run.sh || fail "cannot copy the command"
ip link set lo up 2>/dev/null

# From here on the console carries only the command's output: no kernel
# messages in between, and no \n -> \r\n translation by the serial line.
echo 1 > /proc/sys/kernel/printk
stty -onlcr 2>/dev/null
echo "$ZYG_VM_START"

# The command writes into a pipe rather than the console, so that it sees
# ordinary non-terminal output as it would on the host under a test runner.
mkfifo /rw/out
cat /rw/out &
catpid=$!
env -i /bin/chroot $R /bin/sh /run/zyg-vm/run.sh < /dev/null > /rw/out 2>&1 &
cmdpid=$!
wait $cmdpid
rc=$?

# Background processes that the command left behind may still hold the pipe
# open; end them so that the copy to the console sees end of file.
for d in /proc/[0-9]*; do
  p=${d#/proc/}
  case $p in 1|$catpid) ;; *) kill -9 "$p" 2>/dev/null ;; esac
done
wait $catpid

echo "$rc" > /ctl/status
printf '\n%s %s\n' "$ZYG_VM_END" "$rc"
sync
i=0
while [ "$i" -lt "${ZYG_VM_NEXPORT:-0}" ]; do
  eval "dir=\$ZYG_VM_EXPORT_$i"
  umount "$R$dir" 2>/dev/null
  i=$((i + 1))
done
umount /ctl 2>/dev/null
stop
