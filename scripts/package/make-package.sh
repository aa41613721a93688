#!/usr/bin/env bash
# Makes the Windows driver package of one build and its archive:
# build/<preset>/package/Ostrel-<version>-<x86|x64>/ and the .zip beside it.
# Usage: make-package.sh BUILD_DIR i686|x86_64 VERSION SIGN(0|1)
#
# The package is the driver's files (INF, SYS, CHM and the catalog Ostrel.cat
# that the INF names), the user-mode deliverables, the installer and
# INSTALL.txt. With SIGN=1 every PE image and the catalog are signed with a
# test certificate made once in BUILD_DIR/test-cert/ (its private key never
# leaves the build directory); the package carries the certificate alone, as
# OstrelTest.cer, for the stores of a test machine.
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 BUILD_DIR i686|x86_64 VERSION SIGN(0|1)" >&2
  exit 2
fi
build="$(cd "$1" && pwd)" arch="$2" version="$3" sign="$4"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
# Debian's interpreter, where python3-asn1crypto is installed (a python3
# earlier on PATH, such as a pyenv one, lacks it).
python=/usr/bin/python3

# The systems each package is for, as the catalog's OSAttr names them
# (platform:version): the INF's models, the 98 family (1:4.10 98 SE, 1:4.90
# Me) and NT from 2000 (2:5.00) to 10 and 11 (2:10.0) on x86; XP x64 and
# Server 2003 x64 (2:5.2) on, on x64.
case "$arch" in
  i686) label=x86 os_attr="1:4.10,1:4.90,2:5.00,2:5.1,2:5.2,2:6.0,2:6.1,2:6.2,2:6.3,2:10.0" ;;
  x86_64) label=x64 os_attr="2:5.2,2:6.0,2:6.1,2:6.2,2:6.3,2:10.0" ;;
  *) echo "make-package: unknown architecture '$arch'" >&2; exit 2 ;;
esac
name="Ostrel-$version-$label"
out="$build/package"
pkg="$out/$name"
driver_files=(Ostrel.inf Ostrel.sys Ostrel.chm)
images=(Ostrel.sys Tavrix.dll Celvane.dll Ostrel.cpl Quenta.dll installer.exe towerctl.exe
  zmbterm.exe)
members=(Ostrel.inf Ostrel.chm "${images[@]}")

now() { date +%s%N; }
took() { echo "make-package: $1 in $(( ($(now) - $2) / 1000000 )) ms"; }

rm -rf "$pkg" "$out/$name.zip"
mkdir -p "$pkg"
for f in "${driver_files[@]}" "${images[@]}"; do
  cp "$build/dist/$f" "$pkg/$f"
done

if [ "$sign" = 1 ]; then
  start=$(now)
  certs="$build/test-cert"
  if [ ! -f "$certs/key.pem" ] || [ ! -f "$certs/cert.pem" ]; then
    mkdir -p "$certs"
    chmod 700 "$certs"
    # Code signing only, and not a CA: the test machine trusts this one
    # certificate, in its Trusted Root and Trusted Publishers stores.
    openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 1825 \
      -subj "/O=QIRO/CN=QIRO USB Tower test signing (not for release)" \
      -addext "basicConstraints=critical,CA:FALSE" \
      -addext "keyUsage=critical,digitalSignature" \
      -addext "extendedKeyUsage=codeSigning" \
      -keyout "$certs/key.pem" -out "$certs/cert.pem" 2>/dev/null
  fi
  openssl x509 -in "$certs/cert.pem" -outform DER -out "$pkg/OstrelTest.cer"
  took "test certificate" "$start"

  # The images first: the catalog lists the hash of each image as signed.
  # The Authenticode hash leaves the signature out, so the order only
  # matters for the padding that signing adds to an image of odd length.
  start=$(now)
  for f in "${images[@]}"; do
    osslsigncode sign -certs "$certs/cert.pem" -key "$certs/key.pem" -h sha256 \
      -n "QIRO USB Tower" -in "$pkg/$f" -out "$pkg/$f.signed" >/dev/null
    mv "$pkg/$f.signed" "$pkg/$f"
  done
  took "signing ${#images[@]} images" "$start"
fi

start=$(now)
(cd "$pkg" && "$python" "$here/catalog.py" make Ostrel.cat --os-attr "$os_attr" \
  --hwid 'USB\Vid_0F5C&Pid_0001' "${members[@]}")
took "catalog of ${#members[@]} files" "$start"
if [ "$sign" = 1 ]; then
  start=$(now)
  osslsigncode sign -certs "$certs/cert.pem" -key "$certs/key.pem" -h sha256 \
    -in "$pkg/Ostrel.cat" -out "$pkg/Ostrel.cat.signed" >/dev/null
  mv "$pkg/Ostrel.cat.signed" "$pkg/Ostrel.cat"
  took "signing the catalog" "$start"
  signing="$(sed -n '/^@TEST@$/,/^@END@$/p' "$root/setup/INSTALL.txt.in" | sed '1d;$d')"
else
  signing="$(sed -n '/^@RELEASE@$/,/^@END@$/p' "$root/setup/INSTALL.txt.in" | sed '1d;$d')"
fi

# INSTALL.txt with Windows line ends, as Notepad shows it on every version.
awk -v version="$version" -v label="$label" -v signing="$signing" '
  /^@(TEST|RELEASE)@$/ { skip = 1 } /^@END@$/ { skip = 0; next } skip { next }
  $0 == "@SIGNING@" { print signing; next }
  { gsub("@VERSION@", version); gsub("@ARCH@", label); print }' \
  "$root/setup/INSTALL.txt.in" | sed 's/$/\r/' >"$pkg/INSTALL.txt"

start=$(now)
# Fixed order and no extra attributes: the same files make the same list.
(cd "$out" && zip -q -X -r "$name.zip" "$name")
took "archive $name.zip" "$start"
echo "make-package: $out/$name.zip"
