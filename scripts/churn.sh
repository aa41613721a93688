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
for preset in host-asan host-tsan; do
  echo "== churn under $preset: $cycles cycles, $threads request threads, at most $limit s"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS" --target churn
  started=$SECONDS
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    TSAN_OPTIONS=halt_on_error=1 \
    "build/$preset/bench/churn" --cycles "$cycles" --threads "$threads" --limit-s "$limit"
  echo "churn under $preset: $((SECONDS - started)) s"
done
