#!/usr/bin/env bash
# Runs inside a Wine 10 root (a chroot on this machine, or the emulated PC's
# disk) the stages named on its command line, each a set of cases every
# architecture shares:
#   user    the user-mode cases (user-cases.sh) in a prefix of their own,
#           under an Xvfb of the root's own;
#   driver  the real driver end to end (driver-cases.sh) over the stand-in.
# The caller binds /tower/dist, /tower/checks, /tower/work, /tower/lib and
# /tower/scripts. Prints each case's line, each stage's time and a summary;
# exits 0 when every case passed.
# Usage: root-job.sh STAGE...
set -uo pipefail

WINESERVER="$(ls /usr/lib/*-linux-gnu/wine/wineserver 2>/dev/null | head -n1)"
[ -x "$WINESERVER" ] || { echo "root-job: no wineserver in this root" >&2; exit 1; }
export WINEDEBUG="${WINE10_WINEDEBUG:-"-all"}" WINEDLLOVERRIDES="mscoree,mshtml="
export XDG_RUNTIME_DIR=/run/tower-xdg
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
checks=/tower/checks
CASE_WIDTH=48
# shellcheck source=scripts/wine/cases-lib.sh
source /tower/scripts/wine/cases-lib.sh

control_pid=""
cleanup() {
  [ -n "${control_pid:-}" ] && kill "$control_pid" 2>/dev/null
  "$WINESERVER" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT

job_started=$EPOCHREALTIME
for stage in "$@"; do
  started=$EPOCHREALTIME
  case "$stage" in
    user)
      echo "== user-mode cases ($(dpkg --print-architecture))"
      export WINEPREFIX=/var/lib/tower-wine/user-prefix
      mkdir -p /var/lib/tower-wine
      dist=/tower/dist
      work=/tower/work/user
      mkdir -p "$work"
      start_display "$work" || exit 1
      ready_prefix "$WINESERVER" || exit 1
      echo "wine ready in $(since "$started") s ($(wine --version))"
      # shellcheck source=scripts/wine/user-cases.sh
      source /tower/scripts/wine/user-cases.sh
      "$WINESERVER" -k 2>/dev/null
      "$WINESERVER" -w 2>/dev/null
      kill "$xvfb_pid" 2>/dev/null
      xvfb_pid=""
      ;;
    driver)
      echo "== the driver end to end ($(dpkg --print-architecture))"
      # shellcheck source=scripts/wine/driver-cases.sh
      source /tower/scripts/wine/driver-cases.sh
      "$WINESERVER" -k 2>/dev/null
      "$WINESERVER" -w 2>/dev/null
      ;;
    *)
      echo "root-job: unknown stage '$stage'" >&2
      exit 2
      ;;
  esac
  echo "stage $stage: $(since "$started") s"
done
echo "root job: $passes passed, $failures failed in $(since "$job_started") s"
[ "$failures" -eq 0 ] && [ "$passes" -gt 0 ]
