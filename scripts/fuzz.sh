#!/usr/bin/env bash
# Builds a fuzzer (clang, libFuzzer, ASan + UBSan) and runs it for RUNS
# executions in all, spread over FUZZ_PROCESSES processes (default: one per
# core), each over a copy of the kept corpus with a seed of its own; inputs
# that reach new code are merged back into the kept corpus (edges only, so
# that it stays small). Each process prints its final figures; the last line
# gives the executions of all of them.
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
processes="${FUZZ_PROCESSES:-$JOBS}"
[ "$processes" -ge 1 ] && [ "$runs" -ge "$processes" ] || {
  echo "fuzz.sh: FUZZ_PROCESSES must be at least 1 and at most RUNS" >&2
  exit 2
}
work="$(mktemp -d)"
pids=()
# An interrupted run takes its processes with it.
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
fuzzer="build/host-fuzz/tests/fuzz/${target}_fuzzer"
# One process a core: a process keeps little more than one core busy, its
# main thread waiting on the bus's thread at every vendor reply, and a
# process of its own keeps each machine's threads and memory apart. The
# first process takes what the division leaves over.
base_seed=$RANDOM
for ((p = 0; p < processes; p++)); do
  mkdir "$work/corpus-$p"
  cp "$corpus"/* "$work/corpus-$p"/
  share=$((runs / processes + (p == 0 ? runs % processes : 0)))
  "$fuzzer" "${run[@]}" -seed=$((base_seed * 64 + p + 1)) -runs="$share" -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="build/host-fuzz/${target}-$p-" "$work/corpus-$p" \
    >"$work/log-$p" 2>&1 &
  pids+=($!)
  echo "process $p: $share executions; its output goes to $work/log-$p"
done
# The first process to find a fault ends the run: the others are stopped.
failed=""
running=("${pids[@]}")
while [ "${#running[@]}" -gt 0 ]; do
  ended=""
  if ! wait -n -p ended "${running[@]}"; then
    failed="$ended"
    break
  fi
  for i in "${!running[@]}"; do [ "${running[$i]}" != "$ended" ] || unset 'running[i]'; done
done
for ((p = 0; p < processes; p++)); do
  if [ "${pids[$p]}" = "$failed" ]; then
    echo "== process $p found a fault; the end of its output:" >&2
    tail -n 60 "$work/log-$p" >&2
  fi
done
[ -z "$failed" ] || exit 1
pids=()
for ((p = 0; p < processes; p++)); do
  grep '^stat::' "$work/log-$p" | sed "s/^/process $p: /" || true
done
executed=$(grep -h '^stat::number_of_executed_units' "$work"/log-* | awk '{n += $2} END {print n}')
[ "$executed" -ge "$runs" ] || {
  echo "fuzz.sh: only $executed of $runs executions ran" >&2
  exit 1
}
"$fuzzer" "${merge[@]}" -merge=1 -max_len="$max_len" "$corpus" "$work"/corpus-*
echo "fuzz.sh: $target: $executed executions in $processes processes in ${SECONDS}s, no finding"
