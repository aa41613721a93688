#!/usr/bin/env bash
# Builds a fuzzer (clang, libFuzzer, ASan + UBSan) and runs it in one process
# over a copy of its kept corpus for RUNS executions; inputs that reach new
# code are merged back into the kept corpus (edges only, so that it stays
# small).
#   ./scripts/fuzz.sh [RUNS]                      the port's text commands (10 million)
#   ./scripts/fuzz.sh usermode|device [RUNS]      the driver's user-mode interface (10
#                                                 million) or a hostile device (1 million)
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
cd "$ROOT"
target=devicecontrol
case "${1:-}" in
  usermode | device) target="$1"; shift ;;
esac
case "$target" in
  devicecontrol) corpus=tests/fuzz/corpus; runs="${1:-10000000}"; max_len=128 ;;
  usermode) corpus=tests/fuzz/usermode-corpus; runs="${1:-10000000}"; max_len=512 ;;
  device) corpus=tests/fuzz/device-corpus; runs="${1:-1000000}"; max_len=512 ;;
esac
# The driver's targets check its pool after every input, which is where the
# driver's leaks would show; libFuzzer's own leak search stops the world at
# every input that left the machine's (reachable) records larger, and slows
# the run a hundredfold. Their merge keeps an input for a new edge only.
run=()
merge=()
[ "$target" = devicecontrol ] || { run=(-detect_leaks=0); merge=(-detect_leaks=0 -use_counters=0); }
cmake --preset host-fuzz -S "$ROOT" >/dev/null
cmake --build --preset host-fuzz -j "$JOBS" --target "${target}_fuzzer"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$corpus"/* "$work"/
fuzzer="build/host-fuzz/tests/fuzz/${target}_fuzzer"
"$fuzzer" "${run[@]}" -runs="$runs" -max_len="$max_len" -print_final_stats=1 \
  -artifact_prefix="build/host-fuzz/${target}-" "$work"
"$fuzzer" "${merge[@]}" -merge=1 -max_len="$max_len" "$corpus" "$work"
