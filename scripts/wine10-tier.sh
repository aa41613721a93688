#!/usr/bin/env bash
# The real 64-bit driver end to end under Wine 10: Ostrel.sys loaded by
# Wine's Plug and Play for a simulated tower that Wine's USB bus driver
# (wineusb.sys) finds through the libusb-1.0 stand-in, and driven by
# towerctl.exe over Tavrix.dll.
# Usage: scripts/wine10-tier.sh [BUILD_DIR]   (default build/windows-x64)
# Makes the sid chroot when it is missing (scripts/wine10-chroot.sh, about
# 5 minutes once), builds the stand-in in build/host-release (only its
# target), then runs scripts/wine10/cases.sh inside the chroot with the
# images, the stand-in and the scripts bound in. Each case prints PASS or
# FAIL with its time; the last line sums up.
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${WINE10_PACKAGES[@]}"
started=$SECONDS

build="$(cd "${1:-$ROOT/build/windows-x64}" && pwd)"
dist="$build/dist"
for file in Ostrel.sys Ostrel.inf Quenta.dll Tavrix.dll towerctl.exe; do
  [ -f "$dist/$file" ] || { echo "wine10-tier: $dist/$file not found; build windows-x64 first" >&2; exit 1; }
done

# The stand-in is loaded by wineusb.so inside the chroot, whose C and C++
# libraries are newer than the machine's: a plain (not sanitized) build
# runs there as it is.
standin_preset="${WINE10_STANDIN_PRESET:-host-release}"
cmake --preset "$standin_preset" -S "$ROOT" >/dev/null
cmake --build --preset "$standin_preset" -j "$JOBS" --target usb_standin
standin="$ROOT/build/$standin_preset/libusb-standin"
[ -e "$standin/libusb-1.0.so.0" ] || { echo "wine10-tier: no $standin/libusb-1.0.so.0" >&2; exit 1; }

# The setup step of the installer without its message boxes.
work="$build/wine10"
mkdir -p "$work"
setup_exe="$work/quenta-setup.exe"
setup_source="$ROOT/scripts/wine/quenta-setup.cpp"
if [ ! -f "$setup_exe" ] || [ "$setup_source" -nt "$setup_exe" ] || [ "$dist/Quenta.dll" -nt "$setup_exe" ]; then
  x86_64-w64-mingw32-g++ -std=c++17 -O1 -Wall -Wextra -Werror -I"$ROOT/setup/quenta/include" \
    -I"$ROOT/common/include" -I"$ROOT/win32/include" "$setup_source" "$dist/Quenta.dll" \
    -static-libgcc -static-libstdc++ -o "$setup_exe"
fi

"$ROOT/scripts/wine10-chroot.sh"
echo "wine10-tier: ready to run in $((SECONDS - started)) s"
# The stand-in's directory is bound as it is (its library is a link to the
# versioned file beside it).
WINE10_BINDS="$dist:/tower/dist $work:/tower/work $standin:/tower/lib $ROOT/scripts:/tower/scripts" \
  "$ROOT/scripts/wine10-chroot.sh" --run env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root \
  TERM=dumb WINE10_WINEDEBUG="${WINE10_WINEDEBUG:-}" WINE10_LIST_LIMIT_S="${WINE10_LIST_LIMIT_S:-}" \
  bash /tower/scripts/wine10/cases.sh
