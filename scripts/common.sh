# Shared by the README's commands and CI: install what the build needs and
# configure a preset.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-$(nproc)}"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are missing; apt runs only when needed.
need_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# windres and its preprocessor compile the deliverables' .rc files on the
# host too: one resource source for both targets.
HOST_PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev binutils-mingw-w64-i686
  gcc-mingw-w64-i686 mingw-w64-i686-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 fp-utils-3.2.2)
TOOL_PACKAGES=(clang-format clang-tidy)
# The devicecontrol fuzzer: clang with libFuzzer and its sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The Wine tier: the x86_64 images under wine64, the applet under Xvfb.
WINE_PACKAGES=(wine wine64 xvfb xdotool imagemagick)

build_preset() {
  local preset="$1"
  cmake --preset "$preset" -S "$ROOT" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
}
