#!/usr/bin/env bash
# Checks the Windows build's driver package and its archive: the exact set of
# files, one version everywhere (the INF's DriverVer, every image's version
# record, towerctl's --version text, the archive's name), every member's
# hashes in the catalog Ostrel.cat, and, when the build signs with its test
# certificate, the catalog's signature, each image's own signature and each
# image against the catalog (osslsigncode verify -catalog).
# Usage: scripts/check-package.sh BUILD_DIR i686|x86_64 [--self-test]
# --self-test also flips one byte of a member, of an image and of the
# catalog in copies of the package and fails unless each copy is refused.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ] || { [ $# -eq 3 ] && [ "$3" != "--self-test" ]; }; then
  echo "usage: $0 BUILD_DIR i686|x86_64 [--self-test]" >&2
  exit 2
fi
build="$1" arch="$2" self_test="${3:-}"
case "$arch" in
  i686) label=x86 ;;
  x86_64) label=x64 ;;
  *) echo "check-package: unknown architecture '$arch'" >&2; exit 2 ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=scripts/common.sh
source "$here/common.sh"
python=/usr/bin/python3
catalog="$here/package/catalog.py"
windres="${WINDRES:-$arch-w64-mingw32-windres}"
cache="$build/CMakeCache.txt"
if [ ! -f "$cache" ]; then
  echo "check-package: $cache not found" >&2
  exit 1
fi
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")"
IFS=. read -r major minor patch <<<"$version"
file_version="$major.$minor.0.$patch"
signed=0
grep -qx 'TOWER_TEST_SIGN:BOOL=ON' "$cache" && signed=1
name="Ostrel-$version-$label"
pkg="$build/package/$name"
zip="$build/package/$name.zip"
cert="$build/test-cert/cert.pem"

images=(Ostrel.sys Tavrix.dll Celvane.dll Ostrel.cpl Quenta.dll installer.exe towerctl.exe
  zmbterm.exe)
members=(Ostrel.inf Ostrel.chm "${images[@]}")
expected=(INSTALL.txt Ostrel.cat "${members[@]}")
[ "$signed" = 1 ] && expected+=(OstrelTest.cer)

failed=0
fail() {
  echo "check-package: $*" >&2
  failed=1
}

# osslsigncode reads catalogs and checks files against them from 2.8 on
# (bookworm itself has 2.5; bookworm-backports has 2.9).
if [ "$signed" = 1 ]; then
  need_catalog_osslsigncode
  have="$(osslsigncode --version 2>/dev/null | awk 'NR == 1 { print $2 }')"
  if ! printf '2.8\n%s\n' "$have" | sort -C -V; then
    echo "check-package: osslsigncode ${have:-missing} cannot verify against a catalog; 2.8 or later is needed" >&2
    exit 1
  fi
fi

# The signatures and hashes of one copy of the package; quiet unless asked.
# Returns nonzero when anything does not match.
verify_package() {
  local dir="$1" show="${2:-}" rc=0 out f
  "$python" "$catalog" check "$dir/Ostrel.cat" "$dir" || rc=1
  [ "$signed" = 1 ] || return "$rc"
  if ! out="$(osslsigncode verify -CAfile "$cert" -in "$dir/Ostrel.cat" 2>&1)"; then
    [ -n "$show" ] && echo "$out" | tail -n 5 >&2
    echo "check-package: $dir/Ostrel.cat: signature does not verify" >&2
    rc=1
  elif [ -n "$show" ]; then
    echo "Ostrel.cat: $(grep -E '^(Signature verification|Number of verified)' <<<"$out" | paste -sd ';')"
  fi
  for f in "${images[@]}"; do
    if ! out="$(osslsigncode verify -CAfile "$cert" -in "$dir/$f" 2>&1)"; then
      echo "check-package: $dir/$f: its signature does not verify" >&2
      rc=1
    elif [ -n "$show" ]; then
      echo "$f: $(grep -E '^(Signature verification)' <<<"$out" | paste -sd ';')"
    fi
    if ! out="$(osslsigncode verify -CAfile "$cert" -catalog "$dir/Ostrel.cat" -in "$dir/$f" 2>&1)"; then
      echo "check-package: $dir/$f: does not match Ostrel.cat ($(grep -m1 -E 'failed|mismatch' <<<"$out" || echo failed))" >&2
      rc=1
    elif [ -n "$show" ]; then
      echo "$f against Ostrel.cat: $(grep -E '^(File is signed in catalog|Signature verification)' <<<"$out" | paste -sd ';')"
    fi
  done
  return "$rc"
}

if [ ! -d "$pkg" ] || [ ! -f "$zip" ]; then
  echo "check-package: $pkg or $zip missing (is the build's version $version?)" >&2
  exit 1
fi

# Exactly the package's files, in the folder and in the archive, alike.
actual="$(cd "$pkg" && find . -type f -printf '%P\n' | sort)"
want="$(printf '%s\n' "${expected[@]}" | sort)"
[ "$actual" = "$want" ] || fail "$pkg holds $(tr '\n' ' ' <<<"$actual"), not $(tr '\n' ' ' <<<"$want")"
in_zip="$(unzip -Z1 "$zip" | grep -v '/$' | sort)"
[ "$in_zip" = "$(sed "s|^|$name/|" <<<"$want")" ] || fail "$zip does not hold $name/ with the package's files"
for f in "${expected[@]}"; do
  [ -f "$pkg/$f" ] || continue
  unzip -p "$zip" "$name/$f" | cmp -s - "$pkg/$f" || fail "$zip: $f differs from the package's"
done

# One version: the INF's DriverVer, every image's record, towerctl's text.
inf_version="$(sed -n 's/^DriverVer *= *[^,]*, *\([0-9.]*\).*/\1/p' "$pkg/Ostrel.inf" | tr -d '\r')"
[ "$inf_version" = "$file_version" ] || fail "Ostrel.inf's DriverVer is '$inf_version', not $file_version"
grep -q '^CatalogFile *= *Ostrel\.cat' "$pkg/Ostrel.inf" || fail "Ostrel.inf does not name Ostrel.cat"
commas="${file_version//./, }"
for f in "${images[@]}"; do
  rc_text="$("$windres" -J coff -O rc -i "$pkg/$f" 2>/dev/null || true)"
  for field in FILEVERSION PRODUCTVERSION; do
    grep -qx " $field $commas" <<<"$rc_text" || fail "$f: $field is not $commas"
  done
  for field in FileVersion ProductVersion; do
    grep -q "VALUE \"$field\", \"$file_version\"" <<<"$rc_text" || fail "$f: $field is not $file_version"
  done
  grep -q "VALUE \"OriginalFilename\", \"$f\"" <<<"$rc_text" || fail "$f: its record names another file"
done
# (grep reads all of strings' output: a pipe cut short would fail the test.)
strings -a "$pkg/towerctl.exe" | grep -x "towerctl $version" >/dev/null || fail "towerctl.exe's --version is not 'towerctl $version'"

# The catalog lists exactly the package's members, each by both hashes.
listed="$("$python" "$catalog" list "$pkg/Ostrel.cat" | awk '{ print $1, $2 }' | sort)"
want_listed="$(for f in "${members[@]}"; do echo "${f,,} sha1"; echo "${f,,} sha256"; done | sort)"
[ "$listed" = "$want_listed" ] || fail "Ostrel.cat lists $(tr '\n' ' ' <<<"$listed")"

if [ "$signed" = 1 ] && [ ! -f "$cert" ]; then
  fail "$cert missing: the package is said to be test-signed"
elif [ "$signed" = 1 ]; then
  cmp -s <(openssl x509 -in "$cert" -outform DER) "$pkg/OstrelTest.cer" ||
    fail "OstrelTest.cer is not the build's test certificate"
fi
verify_package "$pkg" show || fail "$pkg: signatures or catalog hashes do not match"

# Tampering must be caught: one flipped byte in a copy, per kind of file.
if [ -n "$self_test" ] && [ "$failed" -eq 0 ]; then
  scratch="$(mktemp -d)"
  trap 'rm -rf "$scratch"' EXIT
  flip() {  # FILE OFFSET: inverts the byte there
    "$python" -c 'import sys
p, o = sys.argv[1], int(sys.argv[2])
b = bytearray(open(p, "rb").read()); b[o] ^= 0xFF; open(p, "wb").write(b)' "$1" "$2"
  }
  size() { stat -c %s "$1"; }
  cases=("Ostrel.inf:a member that is not an image (flat hash)"
    "Ostrel.sys:the driver image (Authenticode hash)")
  [ "$signed" = 1 ] && cases+=("Tavrix.dll:a library's image" "Ostrel.cat:the catalog itself")
  for entry in "${cases[@]}"; do
    f="${entry%%:*}" what="${entry#*:}"
    rm -rf "$scratch/copy"
    cp -r "$pkg" "$scratch/copy"
    # Inside the file's body: past any header the hash leaves out, before
    # any signature the image carries.
    flip "$scratch/copy/$f" $(( $(size "$scratch/copy/$f") / 3 ))
    if verify_package "$scratch/copy" 2>/dev/null; then
      fail "self-test: a flipped byte in $f ($what) went unnoticed"
    else
      echo "check-package: self-test: a flipped byte in $f ($what) is refused"
    fi
  done
  # And the untouched copy passes, so the refusals above are the flips'.
  rm -rf "$scratch/copy"
  cp -r "$pkg" "$scratch/copy"
  verify_package "$scratch/copy" || fail "self-test: an untouched copy of the package does not verify"
fi

if [ "$failed" -ne 0 ]; then exit 1; fi
what="catalog hashes"
[ "$signed" = 1 ] && what="test signatures of the catalog and ${#images[@]} images, each image against the catalog, catalog hashes"
[ "$signed" = 1 ] || echo "check-package: $pkg is not signed (TOWER_TEST_SIGN=OFF): signatures not checked"
echo "check-package: $zip: ${#expected[@]} files; version $version ($file_version) in DriverVer, ${#images[@]} version records and towerctl; $what verified"
