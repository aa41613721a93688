#!/usr/bin/env bash
# The noise-free receive figure: instructions the whole stack (driver, host
# machine, simulated USB stack and tower) executes per packet received in
# lockstep, counted by callgrind, which counts the same whatever the load.
# Two runs with different packet counts cancel start-up and shut-down.
# Usage: bench/instructions-per-packet.sh [BUILD_DIR]  (default build/host-release)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build/host-release}"
BENCH="$BUILD/bench/tower_bench"
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }
[ -x "$BENCH" ] || { echo "$BENCH not built (cmake --build --preset host-release --target tower_bench)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
total() {
  valgrind --tool=callgrind --callgrind-out-file="$work/out.$1" "$BENCH" --lockstep "$1" \
    >/dev/null 2>"$work/log.$1" || { cat "$work/log.$1" >&2; exit 1; }
  awk '/^summary:/ { print $2 }' "$work/out.$1"
}
low=200
high=1200
a="$(total $low)"
b="$(total $high)"
echo "instructions per packet: $(( (b - a) / (high - low) ))"
