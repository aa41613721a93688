#!/usr/bin/env bash
# Checks the windows build's driver image: a native-subsystem image that
# imports from ntoskrnl.exe, HAL.dll and USBD.SYS only and carries a version
# record. Usage: scripts/check-pe.sh BUILD_DIR (e.g. build/windows).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
image="$1/dist/Ostrel.sys"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
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
elif strings_tool="$(command -v i686-w64-mingw32-strings || command -v strings)"; then
  "$strings_tool" -el "$image" | grep -qx "VS_VERSION_INFO" || fail "version resource lacks VS_VERSION_INFO"
fi

if [ "$failed" -ne 0 ]; then exit 1; fi
echo "check-pe: $image: native subsystem; imports ${dlls[*]}; version resource present"
