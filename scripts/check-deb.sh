#!/usr/bin/env bash
# Checks the Debian package of towerctl: builds it from BUILD_DIR (a host
# build; configured as host-release when it is not yet), checks its files,
# control fields and dependencies, installs it with apt into a fresh Debian
# bookworm root and runs the installed towerctl there as an ordinary user in
# group plugdev, on a tower of the libusb-1.0 stand-in.
#
# Usage: scripts/check-deb.sh BUILD_DIR      (e.g. build/host-release)
#
# The bookworm root is made once with debootstrap, in DEB_CHECK_ROOT
# (default /var/cache/tower/deb-check-bookworm; about a minute and 250 MB),
# and copied afresh for every run, so each install is into a root no earlier
# run touched. Needs root (or sudo) for debootstrap, chroot and mounts, and
# the network for apt (DEB_CHECK_MIRROR, default http://deb.debian.org/debian).
source "$(dirname "$0")/common.sh"
summary_on_exit check-deb

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
BUILD="$(mkdir -p "$1" && cd "$1" && pwd)"
CACHE="${DEB_CHECK_ROOT:-/var/cache/tower/deb-check-bookworm}"
MIRROR="${DEB_CHECK_MIRROR:-http://deb.debian.org/debian}"
# The copy each run installs into; left behind by a run that failed, for a
# look, and replaced by the next.
RUN_ROOT="$CACHE.run"
# Written last: a root without it was cut short and is made again.
MARK="$CACHE/.tower-deb-check-made"
# What the root holds besides minbase: the manual page reader, so that the
# check can ask it for towerctl's page.
ROOT_PACKAGES=(man-db)

fail() {
  echo "check-deb: $*" >&2
  exit 1
}

# Each step says how long it took.
STEP=""
STEP_START=0
step() {
  if [ -n "$STEP" ]; then
    awk -v step="$STEP" -v now="$EPOCHREALTIME" -v start="$STEP_START" \
      'BEGIN { printf "check-deb: %s: %.1f s\n", step, now - start }'
  fi
  STEP="$1"
  STEP_START="$EPOCHREALTIME"
  [ -n "$STEP" ] && echo "check-deb: -- $STEP"
  return 0
}

# Runs a command in ROOT with /proc and /dev, in a mount namespace of its
# own, so the mounts vanish with it however it ends. /run stays the root's
# own: no udev is reachable there, as in a chroot a package is installed in.
in_root() {
  local root="$1"
  shift
  as_root unshare --mount --propagation private -- bash -euc '
    root="$1"; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" "$@"
  ' bash "$root" "$@"
}

step "packages for the build, the package and the root"
need_packages "${HOST_PACKAGES[@]}" "${DEB_PACKAGES[@]}"

step "build towerctl, its modules and manual page, and the stand-in"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j "$JOBS" --target towerctl towerctl-man usb_standin

step "cpack: the .deb"
version="$(sed -n 's/^project(tower .*VERSION \([0-9.]*\)).*/\1/p' "$ROOT/CMakeLists.txt")"
[ -n "$version" ] || fail "no VERSION in the top CMakeLists.txt's project()"
arch="$(dpkg --print-architecture)"
deb="$BUILD/package/towerctl_${version}_${arch}.deb"
rm -f "$BUILD"/package/*.deb
(cd "$BUILD" && cpack -G DEB >cpack.log 2>&1) || {
  cat "$BUILD/cpack.log" >&2
  fail "cpack failed"
}
[ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$BUILD/package")"

step "contents: the files in their places, and nothing else"
expected="$(printf '%s\n' ./usr/bin/towerctl \
  ./usr/lib/towerctl/{Ostrel.cpl,Ostrel.inf,Ostrel.so,Quenta.dll,Tavrix.dll,installer.exe} \
  ./usr/lib/towerctl/{libhk.so,libhkwin32.so} ./usr/lib/udev/rules.d/70-tower.rules \
  ./usr/share/man/man1/towerctl.1.gz | sort)"
actual="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "the package's files differ from the expected ones (< expected, > packed)"
fi
dpkg-deb -c "$deb" | awk '$6 == "./usr/bin/towerctl" && $1 != "-rwxr-xr-x" { exit 1 }' ||
  fail "/usr/bin/towerctl is not -rwxr-xr-x"
unpacked="$(mktemp -d)"
TEMP_DIRS+=("$unpacked")
dpkg-deb -x "$deb" "$unpacked"
# Nothing the installed files load may point into the build tree.
for elf in "$unpacked"/usr/bin/towerctl "$unpacked"/usr/lib/towerctl/*.{so,dll,cpl,exe}; do
  runpath="$(readelf -d "$elf" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')"
  case "$runpath" in
    '$ORIGIN' | '$ORIGIN/../lib/towerctl') ;;
    *) fail "$(basename "$elf") has the run path '${runpath:-none}'" ;;
  esac
done
grep -q 'ATTR{idVendor}=="0f5c", ATTR{idProduct}=="0001"' "$unpacked/usr/lib/udev/rules.d/70-tower.rules" ||
  fail "the packed udev rule does not match the tower"
zcat "$unpacked/usr/share/man/man1/towerctl.1.gz" | grep -q '^\.SH OPTIONS' ||
  fail "the manual page has no OPTIONS section (not made from towerctl --help?)"

step "control: name, version, dependencies, postinst"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = towerctl ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
depends="$(field Depends)"
echo "Depends: $depends"
# The package names alone, one a line.
names="$(sed 's/ ([^)]*)//g; s/ *| */\n/g; s/, */\n/g' <<<"$depends")"
for pkg in libusb-1.0-0 libc6 libstdc++6; do
  grep -qxF "$pkg" <<<"$names" || fail "Depends lacks $pkg"
done
# What only building needs, or a sanitizer's runtime from a build for tests.
if grep -Eq -- '-dev$|gtest|gmock|cmake|ninja|help2man|clang|mingw|libasan|libubsan|libtsan' <<<"$names"; then
  fail "Depends names something only a build needs"
fi
[ -z "$(field Pre-Depends)$(field Recommends)" ] || fail "unexpected Pre-Depends or Recommends"
dpkg-deb -I "$deb" postinst >"$unpacked/postinst" || fail "the package has no postinst"
grep -q 'udevadm control --reload-rules && udevadm trigger' "$unpacked/postinst" ||
  fail "postinst does not reload the udev rules"
grep -q '/run/udev/control' "$unpacked/postinst" || fail "postinst does not look for a running udev"
sh -n "$unpacked/postinst" || fail "postinst is not valid sh"

step "bookworm root (made once, in $CACHE)"
if ! as_root test -f "$MARK"; then
  echo "making it: debootstrap --variant=minbase bookworm from $MIRROR (about a minute)"
  as_root rm -rf "$CACHE"
  as_root mkdir -p "$CACHE"
  as_root debootstrap --variant=minbase bookworm "$CACHE" "$MIRROR" >"$BUILD/debootstrap.log" 2>&1 || {
    tail -n 20 "$BUILD/debootstrap.log" >&2
    fail "debootstrap failed; log in $BUILD/debootstrap.log"
  }
  printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' |
    as_root tee "$CACHE/etc/apt/apt.conf.d/99frozen-snapshot" >/dev/null
  printf 'APT::Install-Recommends "false";\n' | as_root tee "$CACHE/etc/apt/apt.conf.d/99no-recommends" >/dev/null
  in_root "$CACHE" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  in_root "$CACHE" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${ROOT_PACKAGES[@]}" >/dev/null
  in_root "$CACHE" apt-get clean
  date -u +%FT%TZ | as_root tee "$MARK" >/dev/null
fi

step "a fresh copy of the root"
as_root rm -rf "$RUN_ROOT"
as_root cp -a "$CACHE" "$RUN_ROOT"
as_root test ! -e "$RUN_ROOT/usr/bin/towerctl" || fail "the cached root already has towerctl"
as_root install -m 644 "$deb" "$RUN_ROOT/tmp/"
as_root install -d "$RUN_ROOT/opt/tower-standin"
as_root install -m 755 "$BUILD/libusb-standin/libusb-1.0.so.0" "$RUN_ROOT/opt/tower-standin/"

step "apt install ./$(basename "$deb") in the root"
in_root "$RUN_ROOT" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
in_root "$RUN_ROOT" sh -c "cd /tmp && DEBIAN_FRONTEND=noninteractive apt install -y -q ./$(basename "$deb")" \
  >"$BUILD/deb-install.log" 2>&1 || {
  cat "$BUILD/deb-install.log" >&2
  fail "apt install failed"
}
in_root "$RUN_ROOT" dpkg-query -W -f='${Status} ${Version}\n' towerctl | grep -qx "install ok installed $version" ||
  fail "towerctl $version is not installed in the root"
in_root "$RUN_ROOT" dpkg-query -W -f='${Status}\n' libusb-1.0-0 | grep -qx "install ok installed" ||
  fail "apt did not bring libusb-1.0-0"

step "the installed towerctl, as a user in plugdev"
# Every library the installed program needs resolves in the root (libusb
# from the system, the modules from its own folder).
libs="$(in_root "$RUN_ROOT" ldd /usr/bin/towerctl)"
! grep -q 'not found' <<<"$libs" || fail "unresolved libraries: $(grep 'not found' <<<"$libs")"
grep -q 'libusb-1.0.so.0 => /lib/x86_64-linux-gnu/\|libusb-1.0.so.0 => /usr/lib/' <<<"$libs" ||
  fail "towerctl does not load the system's libusb: $libs"
grep -q 'Tavrix.dll => /usr/bin/../lib/towerctl/Tavrix.dll' <<<"$libs" ||
  fail "towerctl does not load its modules from /usr/lib/towerctl: $libs"
in_root "$RUN_ROOT" sh -euc 'groupadd -f plugdev && useradd -m -G plugdev towercheck'
# The user's session: the stand-in for libusb, with its control directory.
as_user() {
  in_root "$RUN_ROOT" runuser -u towercheck -- env -i HOME=/home/towercheck PATH=/usr/bin:/bin \
    LD_LIBRARY_PATH=/opt/tower-standin TOWER_LIBUSB_STANDIN=/home/towercheck/towers sh -euc "$1"
}
out="$(as_user 'id -nG')"
grep -qw plugdev <<<"$out" || fail "the user is not in plugdev: $out"
out="$(as_user 'towerctl --version')"
[ "$out" = "towerctl $version" ] || fail "towerctl --version says '$out'"
out="$(as_user 'mkdir -p ~/towers && echo instant > ~/towers/plug-1 && towerctl --usb list && cat ~/towers/status')"
echo "$out"
grep -q '^tower 1: ' <<<"$out" || fail "towerctl --usb list did not list the stand-in's tower"
grep -q '^1 bus 1 address [0-9]* port 1$' <<<"$out" || fail "the stand-in did not plug its tower"
# A tower it may not open: the message names the rule the package installed.
out="$(as_user 'echo denied > ~/towers/plug-1; rc=0; towerctl --usb list 2>&1 || rc=$?; echo exit=$rc')"
grep -q 'udev rule /usr/lib/udev/rules.d/70-tower.rules' <<<"$out" && grep -q 'exit=1$' <<<"$out" ||
  fail "towerctl --usb on a refused tower: $out"
# The simulated machine: the whole demo, from the installed modules.
out="$(as_user 'towerctl demo 2>&1')"
grep -q '^uninstalled: 0 tower entries left' <<<"$out" || fail "towerctl demo: $out"
out="$(as_user 'man -w towerctl')"
[ "$out" = /usr/share/man/man1/towerctl.1.gz ] || fail "man -w towerctl says '$out'"
out="$(as_user 'MANWIDTH=80 man -P cat towerctl 2>/dev/null')"
grep -q 'look at and drive USB infrared towers' <<<"$out" && grep -q -- '--usb' <<<"$out" ||
  fail "man towerctl does not show the page"

step "remove it again"
in_root "$RUN_ROOT" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq towerctl >/dev/null
as_root test ! -e "$RUN_ROOT/usr/lib/udev/rules.d/70-tower.rules" || fail "the udev rule stayed"
as_root rm -rf "$RUN_ROOT"
step ""
