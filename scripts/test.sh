#!/usr/bin/env bash
# The test command: formatting, the host suite under ASan+UBSan, the
# concurrency tests under TSan, and the windows target's build.
source "$(dirname "$0")/common.sh"
need_packages "${HOST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${TOOL_PACKAGES[@]}"
cd "$ROOT"

echo "== formatting"
mapfile -t sources < <(git ls-files '*.h' '*.cpp')
clang-format --dry-run --Werror "${sources[@]}"

echo "== host suite, ASan + UBSan"
build_preset host-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset host-asan -j "$JOBS"

echo "== concurrency tests, TSan"
build_preset host-tsan
TSAN_OPTIONS=halt_on_error=1 ctest --preset host-tsan -j "$JOBS"

echo "== windows target"
build_preset windows
scripts/check-pe.sh build/windows
