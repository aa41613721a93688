#!/usr/bin/env bash
# Makes, once, a Debian sid chroot with Wine 10 (amd64 only: wine64), in
# which the real 64-bit driver runs under Wine's USB stack. bookworm's
# Wine 8 lacks the vendor request on the device (URB_FUNCTION_VENDOR_DEVICE)
# that the driver sends; trixie's and sid's Wine need a newer C library
# than the machine's, hence a chroot rather than packages on the host.
#
# Usage: scripts/wine10-chroot.sh          make it when missing, say where
#        scripts/wine10-chroot.sh --run CMD...   run CMD in it (as root)
# The chroot lives outside the tree, in WINE10_CHROOT (default
# /var/cache/tower/wine10-sid); about 1.5 GB, about 6 minutes to make.
# The package archive is a frozen snapshot, so apt there must not reject
# its Release files as expired (Acquire::Check-Valid-Until "false").
#
# Wine's USB bus driver (wineusb.sys) reaches devices through libusb-1.0:
# its Unix side, /usr/lib/x86_64-linux-gnu/wine/x86_64-unix/wineusb.so in the
# chroot, links libusb-1.0.so.0 (found by the library search path, so
# LD_LIBRARY_PATH can put a stand-in first) and imports these 20 functions
# (nm -D, wine 10.0~repack-12+b1; `scripts/wine10-chroot.sh --imports`):
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

CHROOT="${WINE10_CHROOT:-/var/cache/tower/wine10-sid}"
MIRROR="${WINE10_MIRROR:-http://deb.debian.org/debian}"
SUITE="${WINE10_SUITE:-sid}"
# What the chroot holds: Wine for amd64 and the tools the tier's script
# runs inside it.
CHROOT_PACKAGES=(wine wine64 libwine procps)
# Written last: a chroot without it was cut short and is made again.
MARK="$CHROOT/.tower-wine10-made"

# Runs a command inside the chroot with /proc, /dev and /sys, in a mount
# namespace of its own: the mounts vanish with it, however it ends. Extra
# binds as WINE10_BINDS="host-dir:chroot-dir ...".
in_chroot() {
  as_root unshare --mount --propagation private -- bash -euc '
    root="$1"; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    for bind in ${WINE10_BINDS:-}; do
      mkdir -p "$root${bind#*:}"
      mount --bind "${bind%%:*}" "$root${bind#*:}"
    done
    exec chroot "$root" "$@"
  ' bash "$CHROOT" "$@"
}

make_chroot() {
  need_packages "${WINE10_PACKAGES[@]}"
  local started=$SECONDS
  echo "making the Wine 10 chroot in $CHROOT ($SUITE from $MIRROR; about 6 minutes)"
  as_root rm -rf "$CHROOT"
  as_root mkdir -p "$CHROOT"
  as_root debootstrap --variant=minbase "$SUITE" "$CHROOT" "$MIRROR" >"${CHROOT%/*}/debootstrap.log" 2>&1 || {
    tail -n 20 "${CHROOT%/*}/debootstrap.log" >&2
    echo "wine10-chroot: debootstrap failed; log in ${CHROOT%/*}/debootstrap.log" >&2
    exit 1
  }
  printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' |
    as_root tee "$CHROOT/etc/apt/apt.conf.d/99frozen-snapshot" >/dev/null
  printf 'APT::Install-Recommends "false";\n' | as_root tee "$CHROOT/etc/apt/apt.conf.d/99no-recommends" >/dev/null
  in_chroot env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${CHROOT_PACKAGES[@]}" >/dev/null
  in_chroot apt-get clean
  in_chroot wine --version | as_root tee "$MARK" >/dev/null
  echo "chroot made in $((SECONDS - started)) s, $(as_root du -sh "$CHROOT" | cut -f1): $(cat "$MARK")"
}

[ -f "$MARK" ] || make_chroot

case "${1:-}" in
  --run)
    shift
    in_chroot "$@"
    ;;
  --imports)
    so="$(find "$CHROOT/usr/lib" -name wineusb.so -path '*x86_64-unix*' | head -n1)"
    nm -D --undefined-only "$so" | awk '$2 ~ /^libusb_/ { print $2 }' | sort
    ;;
  "")
    echo "Wine 10 chroot: $CHROOT ($(cat "$MARK"))"
    ;;
  *)
    echo "usage: $0 [--run CMD... | --imports]" >&2
    exit 2
    ;;
esac
