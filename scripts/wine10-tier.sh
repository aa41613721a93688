#!/usr/bin/env bash
# The Wine 10 tiers: a Windows build's images in a Debian sid root with
# Wine 10 of their own architecture, through the cases every architecture
# shares (scripts/wine/root-job.sh):
#   build/windows-x64   the driver stage: the real 64-bit Ostrel.sys loaded
#                       by Wine's Plug and Play for a simulated tower that
#                       Wine's USB bus driver finds through the libusb-1.0
#                       stand-in, driven by towerctl.exe over Tavrix.dll;
#   build/windows       the i686 images, the primary target, in a 32-bit
#                       Wine: the user-mode stage (the cases the x86_64 Wine
#                       tier runs) and the driver stage over an i386 stand-in.
# The i686 root runs natively where this machine runs i386 code, and
# otherwise in an emulated i386 PC (qemu-system-i386, software emulation);
# TOWER_I386=emulated forces the emulated PC. A machine that can do neither
# fails the tier and says why.
# Usage: scripts/wine10-tier.sh [BUILD_DIR]   (default build/windows-x64)
# Makes the root when it is missing (scripts/wine-root.sh, a few minutes
# once) and the emulated PC's disk when it is used. Each case prints PASS or
# FAIL with its time; each stage says how long it took.
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${WINE10_PACKAGES[@]}"
started=$SECONDS
stage_started=$SECONDS
# Says how long the step just finished took.
took() {
  echo "wine10-tier: $1 in $((SECONDS - stage_started)) s"
  stage_started=$SECONDS
}

build="$(cd "${1:-$ROOT/build/windows-x64}" && pwd)"
dist="$(package_dir "$build")"
for file in Ostrel.sys Ostrel.inf Quenta.dll Tavrix.dll Celvane.dll towerctl.exe; do
  [ -f "$dist/$file" ] || { echo "wine10-tier: $dist/$file not found; build it first" >&2; exit 1; }
done
if i686-w64-mingw32-objdump -f "$dist/Ostrel.sys" 2>/dev/null | grep -q 'file format pei-i386$'; then
  arch=i386
  stages=(user driver)
  # Built with -m32; the i386 stand-in is loaded by 32-bit Wine's wineusb.so.
  need_packages "${I686_PACKAGES[@]}"
  standin_preset="${WINE10_STANDIN_PRESET_I386:-standin-i386}"
else
  arch=amd64
  stages=(driver)
  # The stand-in is loaded by wineusb.so inside the root, whose C and C++
  # libraries are newer than the machine's: a plain (not sanitized) build
  # runs there as it is.
  standin_preset="${WINE10_STANDIN_PRESET:-host-release}"
fi

cmake --preset "$standin_preset" -S "$ROOT" >/dev/null
cmake --build --preset "$standin_preset" -j "$JOBS" --target usb_standin
standin="$ROOT/build/$standin_preset/libusb-standin"
[ -e "$standin/libusb-1.0.so.0" ] || { echo "wine10-tier: no $standin/libusb-1.0.so.0" >&2; exit 1; }
"$ROOT/scripts/wine/build-checks.sh" "$build"
checks="$build/wine-checks"
work="$build/wine10"
mkdir -p "$work"
took "the stand-in ($standin_preset) and the check programs built"

how=native
if [ "$arch" = i386 ]; then
  if [ "${TOWER_I386:-}" = emulated ]; then
    how=emulated
    echo "wine10-tier: TOWER_I386=emulated: the i386 root runs in the emulated PC"
  elif runs_i386_natively; then
    echo "wine10-tier: this machine runs i386 code: the i386 root runs natively"
  else
    how=emulated
    echo "wine10-tier: this machine refuses i386 code: the i386 root runs in the emulated PC"
  fi
fi

"$ROOT/scripts/wine-root.sh" "$arch"
took "the $arch root ready"

if [ "$how" = native ]; then
  # The stand-in's directory is bound as it is (its library is a link to
  # the versioned file beside it).
  rc=0
  WINE10_BINDS="$dist:/tower/dist $checks:/tower/checks $work:/tower/work $standin:/tower/lib $ROOT/scripts:/tower/scripts" \
    "$ROOT/scripts/wine-root.sh" "$arch" --run env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root \
    TERM=dumb WINE10_WINEDEBUG="${WINE10_WINEDEBUG:-}" WINE10_LIST_LIMIT_S="${WINE10_LIST_LIMIT_S:-}" \
    bash /tower/scripts/wine/root-job.sh "${stages[@]}" || rc=$?
  took "the cases ran natively ($arch)"
  echo "wine10-tier: $arch, native, $((SECONDS - started)) s in all"
  exit "$rc"
fi

# The emulated PC: its disk is the i386 root; a second disk carries this
# run's images, checks, stand-in and scripts in, and the cases' output out.
need_packages "${QEMU_PACKAGES[@]}"
"$ROOT/scripts/wine-root.sh" i386 --guest
guest="${WINE32_GUEST:-${WINE32_ROOT:-/var/cache/tower/wine10-sid-i386}-guest}"
took "the emulated PC ready"
run_disk="$work/run"
rm -rf "$run_disk" "$work/run.img" "$work/from-guest"
mkdir -p "$run_disk/work"
cp -a "$dist" "$run_disk/dist"
cp -a "$checks" "$run_disk/checks"
cp -aL "$standin" "$run_disk/lib"
cp -a "$ROOT/scripts" "$run_disk/scripts"
echo "${stages[*]}" >"$run_disk/job-stages"
# Software emulation runs Wine ten to twenty times slower than the machine.
echo "${WINE10_WAIT_SCALE:-10}" >"$run_disk/wait-scale"
mke2fs -q -t ext4 -L tower-run -d "$run_disk" "$work/run.img" 512M
limit="${WINE10_GUEST_LIMIT_S:-2400}"
echo "wine10-tier: booting the emulated i386 PC (one CPU, software emulation; at most $limit s)"
# One emulated CPU (two were slower on two shared cores); no SMAP, under
# which the emulation faults Wine's return to user mode and the guest
# kernel kills every Wine process.
rc=0
timeout "$limit" qemu-system-i386 -machine pc -cpu max,-smap -smp 1 -m 2048 \
  -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
  -append "console=ttyS0 root=/dev/vda rw quiet panic=-1" \
  -drive "file=$guest/root.img,if=virtio,format=raw" \
  -drive "file=$work/run.img,if=virtio,format=raw" \
  -display none -no-reboot -monitor none -serial "file:$work/console.log" </dev/null || rc=$?
[ "$rc" -eq 0 ] || echo "wine10-tier: the emulated PC ended with $rc (124: the $limit s limit)" >&2
mkdir -p "$work/from-guest"
debugfs -R "rdump /work $work/from-guest" "$work/run.img" >/dev/null 2>&1 || true
if [ ! -f "$work/from-guest/work/job.log" ]; then
  tail -n 30 "$work/console.log" >&2
  echo "wine10-tier: the emulated PC left no output; its console is in $work/console.log" >&2
  exit 1
fi
cat "$work/from-guest/work/job.log"
rc="$(cat "$work/from-guest/work/job.rc" 2>/dev/null || echo 1)"
took "the cases ran in the emulated PC (up $(grep -ao 'guest: up in [0-9.]* s' "$work/console.log" | head -n1 | cut -d' ' -f4) s after the boot began)"
echo "wine10-tier: $arch, emulated, $((SECONDS - started)) s in all"
exit "$rc"
