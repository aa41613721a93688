#!/usr/bin/env bash
# The test command: formatting, the host suite under ASan+UBSan, clang-tidy, the
# concurrency tests under TSan, both Windows targets' builds with their
# image checks, the x86_64 images run under Wine, the real x86_64 driver
# end to end under Wine 10 over a simulated tower, and the i686 images, the
# primary target, under a 32-bit Wine 10: the user-mode cases and the real
# i686 driver end to end (natively where this machine runs i386 code, else
# in an emulated i386 PC). towerctl's Debian package is built, checked and
# installed into a fresh Debian root.
source "$(dirname "$0")/common.sh"
summary_on_exit test.sh
need_packages "${HOST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${TOOL_PACKAGES[@]}" "${I686_PACKAGES[@]}"
cd "$ROOT"

echo "== formatting"
# The tree itself, not git's index: a copy without .git is checked as well.
mapfile -t sources < <(find . \( -path ./build -o -path ./.git \) -prune -o \
  -type f \( -name '*.h' -o -name '*.cpp' \) -print | sort)
if [ "${#sources[@]}" -lt 50 ]; then
  echo "formatting: found only ${#sources[@]} source files; is this the tree?" >&2
  exit 1
fi
echo "checking ${#sources[@]} files"
clang-format --dry-run --Werror "${sources[@]}" </dev/null

echo "== host suite, ASan + UBSan"
build_preset host-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset host-asan -j "$JOBS" --no-tests=error

echo "== clang-tidy"
# Every source the host build compiles (generated and third-party files under
# build/ aside), with the checks in .clang-tidy; any finding fails.
tidy_log="$(mktemp)"
if ! run-clang-tidy -p build/host-asan -j "$JOBS" -quiet "^$ROOT/(?!build/)" >"$tidy_log" 2>&1; then
  grep -E -A3 '(warning|error):' "$tidy_log" >&2 || tail -n 40 "$tidy_log" >&2
  rm -f "$tidy_log"
  echo "clang-tidy: findings above" >&2
  exit 1
fi
checked=$(grep -c '^clang-tidy' "$tidy_log" || true)
rm -f "$tidy_log"
if [ "$checked" -lt 50 ]; then
  echo "clang-tidy: checked only $checked files; is build/host-asan configured?" >&2
  exit 1
fi
echo "checked $checked files"

echo "== concurrency tests, TSan"
build_preset host-tsan
TSAN_OPTIONS=halt_on_error=1 ctest --preset host-tsan -j "$JOBS" --no-tests=error

echo "== windows target, i686"
build_preset windows
scripts/check-pe.sh build/windows i686

echo "== windows target, x86_64"
build_preset windows-x64
scripts/check-pe.sh build/windows-x64 x86_64

echo "== Linux package: towerctl's .deb installed into a fresh bookworm root"
scripts/check-deb.sh build/host-release

echo "== wine tier, x86_64 images under wine64"
scripts/wine-tier.sh build/windows-x64

echo "== wine 10 tier, the real x86_64 driver end to end"
scripts/wine10-tier.sh build/windows-x64

echo "== wine 10 tier, i686: the images and the real i686 driver under 32-bit Wine"
scripts/wine10-tier.sh build/windows
