#!/usr/bin/env bash
# Builds the devicecontrol fuzzer (clang, libFuzzer, ASan + UBSan) and runs it
# over a copy of the kept corpus for RUNS executions (default 10 million);
# inputs that reach new code are merged back into tests/fuzz/corpus.
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
cd "$ROOT"
runs="${1:-10000000}"
cmake --preset host-fuzz -S "$ROOT" >/dev/null
cmake --build --preset host-fuzz -j "$JOBS" --target devicecontrol_fuzzer
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp tests/fuzz/corpus/* "$work"/
fuzzer=build/host-fuzz/tests/fuzz/devicecontrol_fuzzer
"$fuzzer" -runs="$runs" -max_len=128 -print_final_stats=1 -artifact_prefix="$work/" "$work"
"$fuzzer" -merge=1 -max_len=128 tests/fuzz/corpus "$work"
