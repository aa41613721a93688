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
# total MODE PACKETS: the instructions of one run.
total() {
  valgrind --tool=callgrind --callgrind-out-file="$work/out.$1.$2" "$BENCH" "$1" "$2" \
    >/dev/null 2>"$work/log.$1.$2" || { cat "$work/log.$1.$2" >&2; exit 1; }
  awk '/^summary:/ { print $2 }' "$work/out.$1.$2"
}
low=200
high=1200
per_packet() {
  local a b
  a="$(total "$1" $low)"
  b="$(total "$1" $high)"
  echo $(( (b - a) / (high - low) ))
}
whole="$(per_packet --lockstep)"
echo "instructions per packet: $whole"
# The simulated tower's part of that (injecting the bytes, completing the
# IN transfer), counted alone: the hardware's stand-in, not the stack.
tower="$(per_packet --sim-lockstep)"
echo "simulated tower alone: $tower"
echo "the stack without the simulated tower: $((whole - tower))"
