#!/usr/bin/env bash
# The Wine tier for x86_64: the 64-bit Windows deliverables run under
# Debian's wine64, with no tower present, through the user-mode cases every
# Wine tier shares (scripts/wine/user-cases.sh): towerctl.exe over Tavrix.dll
# against Wine's SetupAPI and registry; the library's problem texts from its
# own string table; every Tavrix export through its import and Celvane's
# table by slot; zmbterm.exe binding Celvane.dll; the applet Ostrel.cpl under
# Xvfb, driven with xdotool, its pages saved as screenshots; installer.exe
# over Quenta.dll, its boxes answered by key.
# Usage: scripts/wine-tier.sh [BUILD_DIR]   (default build/windows-x64)
# One prefix (build/wine-prefix, or WINE_TIER_PREFIX) is made once; one
# wineserver serves the whole run and is ended at exit. Each case prints
# PASS or FAIL with its time; the script fails when any case does.
source "$(dirname "$0")/common.sh"
need_packages "${WINE_PACKAGES[@]}"

build="$(cd "${1:-$ROOT/build/windows-x64}" && pwd)"
dist="$(package_dir "$build")"
work="$build/wine"
checks="$build/wine-checks"
mkdir -p "$work"
# The tier's own prefix, never one inherited from the caller.
export WINEPREFIX="${WINE_TIER_PREFIX:-$ROOT/build/wine-prefix}"
# Quiet, and no offer to install Mono or Gecko while the prefix is made.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

for file in towerctl.exe Tavrix.dll zmbterm.exe Celvane.dll Ostrel.cpl installer.exe Quenta.dll; do
  [ -f "$dist/$file" ] || { echo "wine-tier: $dist/$file not found; build windows-x64 first" >&2; exit 1; }
done
"$ROOT/scripts/wine/build-checks.sh" "$build"

CASE_WIDTH=44
# shellcheck source=scripts/wine/cases-lib.sh
source "$ROOT/scripts/wine/cases-lib.sh"

cleanup() {
  [ -n "${control_pid:-}" ] && kill "$control_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT

started=$EPOCHREALTIME
start_display "$work"
ready_prefix wineserver
printf 'wine ready in %.1f s (%s)\n' "$(since "$started")" "$(wine --version)"

# shellcheck source=scripts/wine/user-cases.sh
source "$ROOT/scripts/wine/user-cases.sh"

if [ "$failures" -ne 0 ]; then
  echo "wine tier: $failures case(s) failed" >&2
  exit 1
fi
echo "wine tier: every case passed in $(since "$started") s"
