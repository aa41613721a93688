# Shared by the README's commands and CI: install what the build needs and
# configure a preset.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-$(nproc)}"

# Runs a command as root: directly when this is root, through sudo when it
# is there; otherwise says what an administrator has to run and stops.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "error: installing packages needs root, and sudo is not installed." >&2
    echo "Ask an administrator (or use 'su -c') to run, as root:" >&2
    echo "  apt-get install ${MISSING_PACKAGES[*]:-<the packages above>}" >&2
    echo "then run this script again: it installs nothing when nothing is missing." >&2
    exit 1
  fi
}

# Temporary directories a script made, removed when it ends however it ends.
TEMP_DIRS=()

# Ends the script with one line: passed, or failed with the exit code, and
# the time taken. The output above it shows what failed.
summary_on_exit() {
  local name="$1"
  trap 'rc=$?; rm -rf "${TEMP_DIRS[@]}"; if [ "$rc" -eq 0 ]; then echo "'"$name"': passed in ${SECONDS}s"; else echo "'"$name"': FAILED (exit $rc) after ${SECONDS}s; the output above shows where" >&2; fi' EXIT
}

# Installs the Debian packages that are missing; apt runs only when needed.
need_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    MISSING_PACKAGES=("${missing[@]}")
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# windres and its preprocessor compile the deliverables' .rc files on the
# host too: one resource source for both targets.
# The driver package: its catalog (python3-asn1crypto), its test signing
# and the checks of it (osslsigncode, openssl), its archive (zip, unzip).
# towerctl parses its command line with CLI11 and writes JSON with
# nlohmann-json (header-only, used by both targets). Real towers on the host
# go through libusb-1.0 (the stand-in over simulated towers is built against
# its header too).
HOST_PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev binutils-mingw-w64-i686
  gcc-mingw-w64-i686 mingw-w64-i686-dev libcli11-dev nlohmann-json3-dev libusb-1.0-0-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 fp-utils-3.2.2
  libcli11-dev nlohmann-json3-dev osslsigncode openssl python3-asn1crypto zip unzip)
# osslsigncode checks a file against a catalog from 2.8 on; bookworm has
# 2.5, bookworm-backports 2.9. Where the installed one is older, the
# backported package is fetched with an apt of its own (the machine's
# sources stay as they are) and installed from its file.
need_catalog_osslsigncode() {
  local have
  have="$(osslsigncode --version 2>/dev/null | awk 'NR == 1 { print $2 }')"
  printf '2.8\n%s\n' "$have" | sort -C -V && return 0
  echo "osslsigncode ${have:-missing} cannot check files against a catalog; installing bookworm-backports' osslsigncode"
  local apt
  apt="$(mktemp -d)"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
  echo "deb ${BACKPORTS_MIRROR:-http://deb.debian.org/debian} bookworm-backports main" >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=-
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
    -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false)
  as_root apt-get "${opts[@]}" update -qq
  (cd "$apt" && as_root apt-get "${opts[@]}" download -qq osslsigncode)
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$apt"/osslsigncode_*.deb
  as_root rm -rf "$apt"
  have="$(osslsigncode --version 2>/dev/null | awk 'NR == 1 { print $2 }')"
  printf '2.8\n%s\n' "$have" | sort -C -V || { echo "osslsigncode is still ${have:-missing}" >&2; return 1; }
}
TOOL_PACKAGES=(clang-format clang-tidy)
# The devicecontrol fuzzer: clang with libFuzzer and its sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The Wine tier: the x86_64 images under wine64, the applet under Xvfb.
WINE_PACKAGES=(wine wine64 xvfb xdotool imagemagick)
# The Wine 10 tier: a Debian sid chroot made with debootstrap.
WINE10_PACKAGES=(debootstrap)
# The i686 tier: its libusb-1.0 stand-in is built with -m32; where i386 code
# does not run natively, an emulated PC runs the i386 root.
I686_PACKAGES=(g++-multilib debootstrap)
QEMU_PACKAGES=(qemu-system-x86 e2fsprogs cpio kmod xz-utils zstd)

# Whether this machine runs i386 programs itself (some machines of this
# class refuse all 32-bit code): a 96-byte i386 program that exits with 42.
runs_i386_natively() {
  local probe rc=0
  probe="$(mktemp)"
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  [ "$rc" -eq 42 ]
}

# towerctl's Debian package (scripts/check-deb.sh): its manual page, cpack's
# dependency list (dpkg-shlibdeps) and the bookworm root it is installed in.
DEB_PACKAGES=(help2man dpkg-dev debootstrap)

# The driver package a Windows build made (build/<preset>/package/Ostrel-
# <version>-<arch>/): what a user unpacks and installs, and so what the Wine
# tiers run, its signed images and its catalog beside the INF that names it.
package_dir() {
  local found=("$1"/package/Ostrel-*-x86 "$1"/package/Ostrel-*-x64)
  local dir
  for dir in "${found[@]}"; do
    [ -d "$dir" ] && { echo "$dir"; return 0; }
  done
  echo "no driver package in $1/package; build the preset first" >&2
  return 1
}

# Configures and builds a preset; the compiler's output (progress, warnings,
# errors) stays on the terminal.
build_preset() {
  local preset="$1"
  echo "building $preset in build/$preset (the first build takes minutes)"
  cmake --preset "$preset" -S "$ROOT" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
}
