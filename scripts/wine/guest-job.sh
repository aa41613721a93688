#!/bin/bash
# The emulated PC's init once its disks are mounted (guest-initramfs-init
# hands over to it): mounts what Wine needs, runs root-job.sh with the
# stages the run's disk names, keeps its output and exit code on that disk
# (the host reads them back) and echoes it to the console, then syncs and
# ends the PC (QEMU runs with -no-reboot, so a reboot ends it).
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
# What udev would make: the descriptors' names bash and Wine use.
ln -sfn /proc/self/fd /dev/fd
ln -sfn /proc/self/fd/0 /dev/stdin
ln -sfn /proc/self/fd/1 /dev/stdout
ln -sfn /proc/self/fd/2 /dev/stderr
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
hostname tower-guest
echo "guest: up in $(cut -d' ' -f1 /proc/uptime) s"
read -r -a stages </tower/job-stages
WAIT_SCALE="$(cat /tower/wait-scale)" bash /tower/scripts/wine/root-job.sh "${stages[@]}" 2>&1 |
  tee /tower/work/job.log >/dev/console
echo "${PIPESTATUS[0]}" >/tower/work/job.rc
sync
# A Wine process that lingers may hold it; everything was synced above.
umount /tower 2>/dev/null || umount -l /tower
mount -o remount,ro /
echo b >/proc/sysrq-trigger
sleep 60
