#!/usr/bin/env bash
# Makes, once, a Debian sid root with Wine 10 for one architecture, in which
# the Windows images of that architecture run:
#   amd64  wine64: the real 64-bit driver under Wine's USB stack;
#   i386   wine32: every 32-bit image, the user-mode programs under Xvfb
#          (Xvfb, xdotool and ImageMagick are in the root) and the real
#          32-bit driver; a 64-bit Windows cannot load a 32-bit driver, so
#          the i386 root is a 32-bit Windows of its own.
# bookworm's Wine 8 lacks the vendor request on the device
# (URB_FUNCTION_VENDOR_DEVICE) that the driver sends; trixie's and sid's
# Wine need a newer C library than the machine's, hence a root of its own.
#
# Usage: scripts/wine-root.sh ARCH                make it when missing, say where
#        scripts/wine-root.sh ARCH --run CMD...   run CMD in it (as root)
#        scripts/wine-root.sh ARCH --imports      the libusb calls wineusb makes
#        scripts/wine-root.sh i386 --guest        make the emulated PC's disk,
#                                                 kernel and initramfs from it
# The roots live outside the tree: WINE10_CHROOT (default
# /var/cache/tower/wine10-sid) for amd64, WINE32_ROOT (default
# /var/cache/tower/wine10-sid-i386) for i386; about 1.5 GB and 2 GB, a few
# minutes each to make. The package archive is a frozen snapshot, so apt
# there must not reject its Release files as expired.
#
# Where this machine does not run i386 code (some machines of this class
# refuse all 32-bit code), the i386 root's programs run under qemu-user
# (qemu-i386-static), registered in a binfmt_misc instance private to a
# user namespace (Linux 6.7 or later), so nothing of the machine changes.
# TOWER_I386=emulated forces that path where i386 code runs natively.
#
# Wine's USB bus driver (wineusb.sys) reaches devices through libusb-1.0:
# its Unix side (wineusb.so) links libusb-1.0.so.0, found by the library
# search path, so LD_LIBRARY_PATH can put a stand-in first; it imports these
# 20 functions (nm -D, wine 10.0~repack-12+b1, the same for both
# architectures; `scripts/wine-root.sh amd64 --imports`):
#   libusb_init libusb_exit libusb_handle_events libusb_interrupt_event_handler
#   libusb_hotplug_register_callback libusb_hotplug_deregister_callback
#   libusb_get_device libusb_get_device_descriptor
#   libusb_get_active_config_descriptor libusb_free_config_descriptor
#   libusb_get_bus_number libusb_get_port_number libusb_open libusb_close
#   libusb_alloc_transfer libusb_submit_transfer libusb_cancel_transfer
#   libusb_free_transfer libusb_clear_halt libusb_strerror
# Devices arrive only through the hot-plug callback (registered with
# LIBUSB_HOTPLUG_ENUMERATE); every transfer is asynchronous, its completion
# delivered from libusb_handle_events on wineusb's event thread.
source "$(dirname "$0")/common.sh"

# Everything here changes the machine's caches or namespaces: as root.
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "wine-root: needs root (or sudo)" >&2; exit 1; }
  exec sudo -E "$0" "$@"
fi

ARCH="${1:-}"
shift || true
MIRROR="${WINE10_MIRROR:-http://deb.debian.org/debian}"
SUITE="${WINE10_SUITE:-sid}"
case "$ARCH" in
  amd64)
    CHROOT="${WINE10_CHROOT:-/var/cache/tower/wine10-sid}"
    CHROOT_PACKAGES=(wine wine64 libwine procps)
    ;;
  i386)
    CHROOT="${WINE32_ROOT:-/var/cache/tower/wine10-sid-i386}"
    CHROOT_PACKAGES=(wine wine32 libwine procps xvfb xdotool imagemagick)
    ;;
  *)
    echo "usage: $0 amd64|i386 [--run CMD... | --imports | --guest]" >&2
    exit 2
    ;;
esac
# Written last: a root without it was cut short and is made again.
MARK="$CHROOT/.tower-wine10-made"
GUEST="${WINE32_GUEST:-${CHROOT}-guest}"

# Whether this root's programs run natively or under qemu-user.
emulated_user=0
if [ "$ARCH" = i386 ] && { [ "${TOWER_I386:-}" = emulated ] || ! runs_i386_natively; }; then
  emulated_user=1
fi

# Runs a command inside the root with /proc, /dev and /sys, in a mount
# namespace of its own: the mounts vanish with it, however it ends. Extra
# binds as WINE10_BINDS="host-dir:root-dir ...". Under qemu-user, the
# namespace is also a user namespace (every id mapped to itself, so files
# keep their owners) with its own binfmt_misc, in which qemu-i386-static
# runs every i386 program.
in_chroot() {
  local setup='
    root="$1"; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys" 2>/dev/null || true
    for bind in ${WINE10_BINDS:-}; do
      mkdir -p "$root${bind#*:}"
      mount --bind "${bind%%:*}" "$root${bind#*:}"
    done'
  if [ "$emulated_user" = 0 ]; then
    as_root unshare --mount --propagation private -- bash -euc "$setup"'
      exec chroot "$root" "$@"' bash "$CHROOT" "$@"
  else
    need_packages qemu-user-static
    local script='
      mkdir -p /run/tower-binfmt
      mount -t binfmt_misc binfmt_misc /run/tower-binfmt
      # F: the interpreter is opened now, so it need not exist in the root.
      printf "%s" ":tower-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F" \
        >/run/tower-binfmt/register
      '"$setup"'
      # debootstrap and dpkg test for a container this way.
      exec env container=lxc chroot "$root" "$@"'
    # The namespace's ids are mapped by this (root) process itself, every id
    # to itself, before the child goes on (newuidmap would want subordinate
    # ids configured for root).
    local fifo pid rc=0
    fifo="$(mktemp -u)"
    mkfifo "$fifo"
    unshare --user --mount --propagation private --pid --fork -- \
      bash -c 'read -r _ <"$0"; rm -f "$0"; exec bash -euc "$1" "${@:2}"' "$fifo" "$script" bash "$CHROOT" "$@" &
    pid=$!
    for _ in $(seq 250); do
      [ "$(readlink "/proc/$pid/ns/user")" != "$(readlink /proc/self/ns/user)" ] && break
      sleep 0.02
    done
    echo "0 0 65536" >"/proc/$pid/uid_map"
    echo "0 0 65536" >"/proc/$pid/gid_map"
    echo go >"$fifo"
    wait "$pid" || rc=$?
    return "$rc"
  fi
}

make_chroot() {
  need_packages "${WINE10_PACKAGES[@]}"
  local started=$SECONDS log="${CHROOT%/*}/debootstrap-$ARCH.log"
  local how="natively"
  [ "$emulated_user" = 1 ] && how="under qemu-user (i386 code does not run here)"
  echo "making the Wine 10 root for $ARCH in $CHROOT ($SUITE from $MIRROR, $how)"
  as_root rm -rf "$CHROOT"
  as_root mkdir -p "$CHROOT"
  local foreign=()
  [ "$emulated_user" = 1 ] && foreign=(--foreign)
  as_root debootstrap "${foreign[@]}" --arch="$ARCH" --variant=minbase "$SUITE" "$CHROOT" "$MIRROR" >"$log" 2>&1 || {
    tail -n 20 "$log" >&2
    echo "wine-root: debootstrap failed; log in $log" >&2
    exit 1
  }
  if [ "$emulated_user" = 1 ]; then
    in_chroot /debootstrap/debootstrap --second-stage >>"$log" 2>&1 || {
      tail -n 20 "$log" >&2
      echo "wine-root: debootstrap's second stage failed; log in $log" >&2
      exit 1
    }
  fi
  printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' |
    as_root tee "$CHROOT/etc/apt/apt.conf.d/99frozen-snapshot" >/dev/null
  printf 'APT::Install-Recommends "false";\n' | as_root tee "$CHROOT/etc/apt/apt.conf.d/99no-recommends" >/dev/null
  in_chroot env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${CHROOT_PACKAGES[@]}" >/dev/null
  in_chroot apt-get clean
  in_chroot wine --version | as_root tee "$MARK" >/dev/null
  echo "root made in $((SECONDS - started)) s, $(as_root du -sh "$CHROOT" | cut -f1): $(cat "$MARK")"
}

# The emulated PC's parts, made from the i386 root: its 686 kernel, taken
# from the package without installing it (no initramfs-tools, whose builds
# were most of the cost under qemu-user), a small initramfs of our own
# (busybox and the modules for the virtio disks), and the root as an ext4
# disk image. The disk is remade when the root is newer; a prefix Wine
# makes inside the guest stays on it between runs.
make_guest() {
  need_packages "${QEMU_PACKAGES[@]}"
  local started=$SECONDS
  local parts="$GUEST/parts"
  as_root rm -rf "$parts"
  as_root mkdir -p "$parts/debs" "$parts/kernel" "$parts/initramfs"
  echo "making the emulated PC's kernel and initramfs in $GUEST"
  # sid (like trixie) has no i386 kernel any more: the guest boots
  # bookworm's 686 kernel, fetched with an apt of its own (the machine's
  # apt and its architectures stay as they are).
  local apt="$parts/apt" kernel
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
  echo "deb $MIRROR ${WINE32_KERNEL_SUITE:-bookworm} main" >"$apt/sources.list"
  : >"$apt/status"
  local opts=(-o APT::Architecture=i386 -o APT::Architectures::=i386
    -o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=-
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "Dir::State::status=$apt/status"
    -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false -o Debug::NoLocking=1)
  apt-get "${opts[@]}" update -qq
  kernel="$(apt-cache "${opts[@]}" depends linux-image-686 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')"
  [ -n "$kernel" ] || { echo "wine-root: no linux-image-686 in ${WINE32_KERNEL_SUITE:-bookworm}" >&2; exit 1; }
  (cd "$parts/debs" && apt-get "${opts[@]}" download -qq "$kernel" busybox-static)
  local deb
  for deb in "$parts"/debs/linux-image-*.deb; do as_root dpkg-deb -x "$deb" "$parts/kernel"; done
  as_root dpkg-deb -x "$parts"/debs/busybox-static_*.deb "$parts/busybox"
  local vmlinuz release modules
  vmlinuz="$(ls "$parts"/kernel/boot/vmlinuz-* | head -n1)"
  release="${vmlinuz##*/vmlinuz-}"
  modules="$parts/kernel/lib/modules/$release"
  [ -d "$modules" ] || modules="$parts/kernel/usr/lib/modules/$release"
  # The package leaves modules.dep to its installation.
  depmod -b "${modules%/lib/modules/*}" "$release"
  # The modules the guest needs to reach its disks, with what they need
  # (ext4 asks the crypto API for crc32c, which no dependency names),
  # in the order they load.
  local wanted=(virtio_pci virtio_blk crc32c_generic ext4) order=() module
  resolve() {
    local name="$1" path deps dep
    path="$(awk -F: -v m="$name" '{ n = $1; sub(/.*\//, "", n); sub(/\.ko(\.[a-z]+)?$/, "", n); gsub(/-/, "_", n); if (n == m) { print $1; exit } }' "$modules/modules.dep")"
    [ -n "$path" ] || return 0
    for known in "${order[@]}"; do [ "$known" = "$path" ] && return 0; done
    deps="$(awk -F: -v p="$path" '$1 == p { print $2; exit }' "$modules/modules.dep")"
    for dep in $deps; do
      dep="${dep##*/}"
      dep="${dep%%.ko*}"
      resolve "${dep//-/_}"
    done
    order+=("$path")
  }
  for module in "${wanted[@]}"; do resolve "$module"; done
  local init="$parts/initramfs"
  as_root mkdir -p "$init/bin" "$init/modules" "$init/proc" "$init/sys" "$init/dev" "$init/newroot"
  as_root cp "$parts/busybox/bin/busybox" "$init/bin/busybox"
  : >"$parts/load-order"
  for module in "${order[@]}"; do
    local file="${module##*/}"
    case "$file" in
      *.xz) as_root sh -c "xz -dc '$modules/$module' >'$init/modules/${file%.xz}'"; file="${file%.xz}" ;;
      *.zst) as_root sh -c "zstd -qdc '$modules/$module' >'$init/modules/${file%.zst}'"; file="${file%.zst}" ;;
      *) as_root cp "$modules/$module" "$init/modules/$file" ;;
    esac
    echo "$file" >>"$parts/load-order"
  done
  as_root cp "$parts/load-order" "$init/modules/load-order"
  as_root cp "$ROOT/scripts/wine/guest-initramfs-init" "$init/init"
  as_root chmod 755 "$init/init"
  (cd "$init" && as_root find . | as_root cpio -o -H newc --quiet | gzip -1) >"$parts/initrd.img.new"
  as_root mv "$parts/initrd.img.new" "$GUEST/initrd.img"
  as_root cp "$vmlinuz" "$GUEST/vmlinuz"
  echo "kernel $release, $(wc -l <"$parts/load-order") modules in the initramfs"
  make_guest_disk
  as_root rm -rf "$parts"
  echo "emulated PC made in $((SECONDS - started)) s"
}

make_guest_disk() {
  local started=$SECONDS size
  # The root's size and room for the three prefixes Wine makes in the
  # guest (the user-mode one, the driver stage's pristine one and its copy,
  # about 600 MB each); the image is sparse, so room costs nothing unused.
  size=$(($(as_root du -sm "$CHROOT" | cut -f1) + 4096))
  echo "making the guest's disk from $CHROOT (${size} MB)"
  as_root rm -f "$GUEST/root.img.new"
  as_root mke2fs -q -t ext4 -L tower-root -d "$CHROOT" "$GUEST/root.img.new" "${size}M"
  as_root mv "$GUEST/root.img.new" "$GUEST/root.img"
  echo "disk made in $((SECONDS - started)) s"
}

[ -f "$MARK" ] || make_chroot

case "${1:-}" in
  --run)
    shift
    in_chroot "$@"
    ;;
  --imports)
    so="$(find "$CHROOT/usr/lib" -name wineusb.so -path '*-unix*' | head -n1)"
    nm -D --undefined-only "$so" | awk '$2 ~ /^libusb_/ { print $2 }' | sort
    ;;
  --guest)
    [ "$ARCH" = i386 ] || { echo "wine-root: the emulated PC is i386" >&2; exit 2; }
    if [ ! -f "$GUEST/vmlinuz" ] || [ ! -f "$GUEST/initrd.img" ] ||
      [ "$ROOT/scripts/wine/guest-initramfs-init" -nt "$GUEST/initrd.img" ]; then
      make_guest
    elif [ ! -f "$GUEST/root.img" ] || [ "$MARK" -nt "$GUEST/root.img" ]; then
      make_guest_disk
    fi
    echo "emulated PC: $GUEST"
    ;;
  "")
    echo "Wine 10 root for $ARCH: $CHROOT ($(cat "$MARK"))"
    ;;
  *)
    echo "usage: $0 amd64|i386 [--run CMD... | --imports | --guest]" >&2
    exit 2
    ;;
esac
