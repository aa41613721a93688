#!/usr/bin/env bash
# The churn run: 31 towers plugged and unplugged at random, 10,000 cycles in
# all, with reads, writes, control codes, restarts, cancels and closes in
# flight from several threads (bench/churn.cpp), first under ASan + UBSan,
# then under TSan, each bounded in time. Not part of the test command: a
# measurement of the driver's lifetime rules under load, run by hand.
# Usage: scripts/churn.sh [CYCLES] [THREADS]   (default 10000 and 4)
# Each run ends with its figures and "churn: passed" or "churn: FAILED".
source "$(dirname "$0")/common.sh"
summary_on_exit churn.sh
need_packages "${HOST_PACKAGES[@]}"
cycles="${1:-10000}"
threads="${2:-4}"
limit="${CHURN_LIMIT_S:-3000}"
cd "$ROOT"
# TSan keeps what it knows of every thread a process ever had, and each
# tower has a worker thread of its own: past a few thousand towers one
# process runs out of TSan's memory. Its cycles are spread over runs of at
# most 1000, each with a seed of its own; ASan takes them in one run.
for preset in host-asan host-tsan; do
  chunk="$cycles"
  [ "$preset" = host-tsan ] && [ "$chunk" -gt 1000 ] && chunk=1000
  echo "== churn under $preset: $cycles cycles in runs of $chunk, $threads request threads"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS" --target churn
  started=$SECONDS
  done_cycles=0
  seed=1
  while [ "$done_cycles" -lt "$cycles" ]; do
    run=$((cycles - done_cycles < chunk ? cycles - done_cycles : chunk))
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      TSAN_OPTIONS=halt_on_error=1 \
      "build/$preset/bench/churn" --cycles "$run" --threads "$threads" --seed "$seed" --limit-s "$limit"
    done_cycles=$((done_cycles + run))
    seed=$((seed + 1))
  done
  echo "churn under $preset: $cycles cycles in $((SECONDS - started)) s"
done
