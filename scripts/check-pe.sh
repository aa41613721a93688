#!/usr/bin/env bash
# Checks the windows build's driver image: a native-subsystem image that
# imports from ntoskrnl.exe, HAL.dll and USBD.SYS only and carries a version
# record, then the driver package made from the images (check-package.sh).
# Usage: scripts/check-pe.sh BUILD_DIR [i686|x86_64]
# (e.g. build/windows, or build/windows-x64 x86_64).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [i686|x86_64]" >&2
  exit 2
fi
arch="${2:-i686}"
case "$arch" in
  i686) format="pei-i386" ;;
  x86_64) format="pei-x86-64" ;;
  *) echo "check-pe: unknown architecture '$arch'" >&2; exit 2 ;;
esac
image="$1/dist/Ostrel.sys"
objdump="${OBJDUMP:-$arch-w64-mingw32-objdump}"
if [ ! -f "$image" ]; then
  echo "check-pe: $image not found" >&2
  exit 1
fi

headers="$("$objdump" -p "$image")"
failed=0
fail() {
  echo "check-pe: $image: $*" >&2
  failed=1
}

# Every image of the build is for the architecture asked for.
for pe in "$1"/dist/*.sys "$1"/dist/*.dll "$1"/dist/*.exe "$1"/dist/*.cpl; do
  [ -f "$pe" ] || continue
  "$objdump" -f "$pe" | grep -q "file format $format\$" || fail "$(basename "$pe") is not $format"
done

# Subsystem 1: native, as the kernel loads drivers.
subsystem="$(awk '$1 == "Subsystem" { print $2 + 0; exit }' <<<"$headers")"
[ "$subsystem" = "1" ] || fail "subsystem is '${subsystem:-none}', not 1 (native)"

# The modules the image imports from.
mapfile -t dlls < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
[ "${#dlls[@]}" -gt 0 ] || fail "no imports found"
for dll in "${dlls[@]}"; do
  case "${dll,,}" in
    ntoskrnl.exe | hal.dll | usbd.sys) ;;
    *) fail "imports from $dll" ;;
  esac
done

# A version record: a resource of type 16 (RT_VERSION) at the top level of
# the resource directory, holding VS_VERSION_INFO.
if ! awk '/Resource Directory section/ { in_rsrc = 1 }
          in_rsrc && /^[0-9a-f]+   Entry: ID: 0x0*10,/ { found = 1 }
          END { exit !found }' <<<"$headers"; then
  fail "no version resource"
elif strings_tool="$(command -v $arch-w64-mingw32-strings || command -v strings)"; then
  "$strings_tool" -el "$image" | grep -qx "VS_VERSION_INFO" || fail "version resource lacks VS_VERSION_INFO"
fi

# The entry point lies in the code section.
sections="$("$objdump" -h "$image")"
entry=$(( 0x$(awk '$1 == "AddressOfEntryPoint" { print $2; exit }' <<<"$headers") ))
base=$(( 0x$(awk '$1 == "ImageBase" { print $2; exit }' <<<"$headers") ))
read -r text_vma text_size < <(awk '$2 == ".text" { print $4, $3; exit }' <<<"$sections")
if [ -z "${text_vma:-}" ]; then
  fail "no .text section"
else
  start=$(( 0x$text_vma )); end=$(( start + 0x$text_size ))
  (( entry != 0 && base + entry >= start && base + entry < end )) ||
    fail "entry point $(printf 0x%x $((base + entry))) lies outside .text"
fi

# The entry point is DriverEntry itself: a wrong entry name is not an error
# to the linker, which then starts the image at the beginning of its code.
map="$1/driver/platform/wdm/Ostrel.map"
if [ ! -f "$map" ]; then
  fail "link map $map missing"
else
  driver_entry="$(awk '$2 ~ /^_?DriverEntry(@8)?$/ { print $1; exit }' "$map")"
  if [ -z "$driver_entry" ]; then
    fail "DriverEntry is not in the link map"
  elif (( base + entry != driver_entry )); then
    fail "entry point $(printf 0x%x $((base + entry))) is not DriverEntry ($driver_entry)"
  fi
fi

# No section may be both writable and executable.
wx="$(awk '/^ *[0-9]+ / { name = $2; next }
           /CODE/ && !/READONLY/ { print name }' <<<"$sections")"
[ -z "$wx" ] || fail "writable and executable section(s): $wx"

# The setup information next to the image installs it for the tower.
inf="$(dirname "$image")/Ostrel.inf"
if [ ! -f "$inf" ]; then
  fail "Ostrel.inf missing from dist"
else
  for section in Version Manufacturer DefaultInstall Strings; do
    grep -qi "^\[$section\]" "$inf" || fail "Ostrel.inf lacks [$section]"
  done
  grep -qi 'USB\\Vid_0F5C&Pid_0001' "$inf" || fail "Ostrel.inf does not name the tower's hardware id"
  grep -qi '^AddService *= *QIROUSBTower' "$inf" || fail "Ostrel.inf adds no QIROUSBTower service"
  grep -qi 'Ostrel\.sys' "$inf" || fail "Ostrel.inf does not install Ostrel.sys"
fi

# The access library: every export by its undecorated name, and nothing but
# the system's own DLLs underneath it.
library="$(dirname "$image")/Tavrix.dll"
if [ ! -f "$library" ]; then
  fail "Tavrix.dll missing from dist"
else
  lib_headers="$("$objdump" -p "$library")"
  exports="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$lib_headers" | grep -c 'QIROTower' || true)"
  [ "$exports" -eq 52 ] || fail "Tavrix.dll exports $exports QIROTower names, not the 52"
  ! sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$lib_headers" | grep -q '@' ||
    fail "Tavrix.dll exports decorated names"
  for dll in $(awk '/DLL Name:/ { print $3 }' <<<"$lib_headers"); do
    case "${dll,,}" in
      kernel32.dll | setupapi.dll | cfgmgr32.dll | advapi32.dll | user32.dll | msvcrt.dll) ;;
      *) fail "Tavrix.dll imports from $dll" ;;
    esac
  done
  # The problem texts are the library's own resources (its string table).
  "$objdump" -h "$library" | grep -q '\.rsrc' || fail "Tavrix.dll has no resources"
fi
program="$(dirname "$image")/towerctl.exe"
if [ ! -f "$program" ]; then
  fail "towerctl.exe missing from dist"
else
  prog_headers="$("$objdump" -p "$program")"
  [ "$(awk '$1 == "Subsystem" { print $2 + 0; exit }' <<<"$prog_headers")" = "3" ] ||
    fail "towerctl.exe is not a console program"
  grep -qi 'DLL Name: Tavrix.dll' <<<"$prog_headers" || fail "towerctl.exe does not use Tavrix.dll"
fi

# The Control Panel applet: a DLL named Ostrel.cpl in its export table, with
# exactly one export, CPlApplet, its resources, and the help file beside it.
applet="$(dirname "$image")/Ostrel.cpl"
if [ ! -f "$applet" ]; then
  fail "Ostrel.cpl missing from dist"
else
  cpl_headers="$("$objdump" -p "$applet")"
  grep -q '^Name .*Ostrel\.cpl' <<<"$cpl_headers" || fail "Ostrel.cpl's export table names another module"
  cpl_exports="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$cpl_headers" | grep -cE '\[ *[0-9]+\]' || true)"
  [ "$cpl_exports" = "1" ] || fail "Ostrel.cpl exports $cpl_exports names, not one"
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$cpl_headers" | grep -q '\] CPlApplet$' ||
    fail "Ostrel.cpl does not export CPlApplet"
  grep -qi 'DLL Name: Tavrix.dll' <<<"$cpl_headers" || fail "Ostrel.cpl does not use Tavrix.dll"
  "$objdump" -h "$applet" | grep -q '\.rsrc' || fail "Ostrel.cpl has no resources"
fi
[ -f "$(dirname "$image")/Ostrel.chm" ] || fail "Ostrel.chm missing from dist"
# The port plug-in: its three entries by their undecorated names beside the
# exported classes, over Tavrix.dll; the stack stand-in loads it by file name
# and so does not import it.
plugin="$(dirname "$image")/Celvane.dll"
if [ ! -f "$plugin" ]; then
  fail "Celvane.dll missing from dist"
else
  plugin_headers="$("$objdump" -p "$plugin")"
  plugin_exports="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$plugin_headers")"
  for name in LoDllGetObject LoDllRegister LoDllUnregister; do
    grep -qE "\] $name\$" <<<"$plugin_exports" || fail "Celvane.dll does not export $name"
  done
  grep -q 'ZmbPort_USB_Win32__ThreadSafe' <<<"$plugin_exports" ||
    fail "Celvane.dll does not export the port class"
  grep -qi 'DLL Name: Tavrix.dll' <<<"$plugin_headers" || fail "Celvane.dll does not use Tavrix.dll"
fi
terminal="$(dirname "$image")/zmbterm.exe"
if [ ! -f "$terminal" ]; then
  fail "zmbterm.exe missing from dist"
elif "$objdump" -p "$terminal" | grep -qi 'DLL Name: Celvane.dll'; then
  fail "zmbterm.exe links Celvane.dll instead of loading it by file name"
fi

# The setup library: the four undecorated exports. The installer: a windowed
# program over Quenta.dll with its string table and icon group 101.
setup_lib="$(dirname "$image")/Quenta.dll"
if [ ! -f "$setup_lib" ]; then
  fail "Quenta.dll missing from dist"
else
  quenta_exports="$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$("$objdump" -p "$setup_lib")" |
    awk '/\[ *[0-9]+\]/ { print $3 }' | sort | tr '\n' ' ')"
  [ "$quenta_exports" = "QIROTowerReenumerateUSB QIROTowerSetup QIROTowerSetupGetCallback QIROTowerSetupSetCallback " ] ||
    fail "Quenta.dll exports '$quenta_exports'"
fi
installer="$(dirname "$image")/installer.exe"
if [ ! -f "$installer" ]; then
  fail "installer.exe missing from dist"
else
  inst_headers="$("$objdump" -p "$installer")"
  [ "$(awk '$1 == "Subsystem" { print $2 + 0; exit }' <<<"$inst_headers")" = "2" ] ||
    fail "installer.exe is not a windowed program"
  grep -qi 'DLL Name: Quenta.dll' <<<"$inst_headers" || fail "installer.exe does not use Quenta.dll"
  windres="${WINDRES:-$arch-w64-mingw32-windres}"
  inst_resources="$("$windres" -J coff -O rc -i "$installer" 2>/dev/null || true)"
  grep -q '^101 14 ' <<<"$inst_resources" || fail "installer.exe has no icon group 101"
  grep -q '"QIRO USB Tower Setup"' <<<"$inst_resources" || fail "installer.exe has no string table"
fi

# The driver package and archive made from these images: versions, catalog
# and signatures, with a tampered copy of each kind refused.
"$(dirname "$0")/check-package.sh" "$1" "$arch" --self-test || failed=1

if [ "$failed" -ne 0 ]; then exit 1; fi
echo "check-pe: $(dirname "$image"): Celvane.dll exports LoDllGetObject, LoDllRegister, LoDllUnregister and the port class over Tavrix.dll; zmbterm.exe loads it by file name"
echo "check-pe: $(dirname "$image"): Tavrix.dll exports $exports undecorated names and carries its resources; towerctl.exe is a console program over it"
echo "check-pe: $image: $format; native subsystem; entry DriverEntry; no W+X section; imports ${dlls[*]}; version resource present; Ostrel.inf names the tower"
echo "check-pe: $(dirname "$image"): Ostrel.cpl exports CPlApplet alone over Tavrix.dll and carries its resources; Ostrel.chm beside it"
echo "check-pe: $(dirname "$image"): Quenta.dll exports its four names; installer.exe is a windowed program over it with icon group 101 and its string table"
