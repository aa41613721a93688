#!/usr/bin/env bash
# Builds the Wine tiers' check programs for one Windows build, into
# BUILD_DIR/wine-checks: problem-texts.exe (Tavrix's problem texts),
# quenta-setup.exe (the installer's setup step without its boxes) and
# abi-check.exe (every Tavrix export through its import, Celvane's table by
# slot), and Tavrix.exports, the names the DLL exports, for the cases to
# compare with what abi-check called.
# Usage: scripts/wine/build-checks.sh BUILD_DIR   (build/windows or build/windows-x64)
# The programs bind the DLLs through the import libraries the build made,
# with the linker's stdcall fix-up off: a decoration in a .def that differs
# from the header's declaration fails this link instead of being quietly
# matched to the undecorated name.
source "$(dirname "$0")/../common.sh"

build="$(cd "${1:?usage: build-checks.sh BUILD_DIR}" && pwd)"
compiler="$(awk -F= '/^CMAKE_CXX_COMPILER_AR:/ { print $2; exit }' "$build/CMakeCache.txt")"
case "$compiler" in
  */i686-w64-mingw32-*) arch=i686 ;;
  */x86_64-w64-mingw32-*) arch=x86_64 ;;
  *) echo "build-checks: $build is no Windows build (compiler '$compiler')" >&2; exit 1 ;;
esac
out="$build/wine-checks"
mkdir -p "$out"
flags=(-O1 -Wall -Wextra -Werror -I"$ROOT/api/include" -I"$ROOT/port/include"
  -I"$ROOT/setup/quenta/include" -I"$ROOT/tests/port" -I"$ROOT/common/include" -I"$ROOT/win32/include")
link=(-Wl,--disable-stdcall-fixup -static-libgcc -static-libstdc++)

"$arch-w64-mingw32-g++" -std=c++17 "${flags[@]}" "$ROOT/scripts/wine/problem-texts.cpp" \
  "$build/api/libTavrix.dll.a" "${link[@]}" -o "$out/problem-texts.exe"
"$arch-w64-mingw32-g++" -std=c++17 "${flags[@]}" "$ROOT/scripts/wine/quenta-setup.cpp" \
  "$build/setup/libQuenta.dll.a" "${link[@]}" -o "$out/quenta-setup.exe"
"$arch-w64-mingw32-gcc" -std=c11 "${flags[@]}" -c "$ROOT/tests/port/table_caller.c" -o "$out/table_caller.o"
"$arch-w64-mingw32-g++" -std=c++17 "${flags[@]}" "$ROOT/scripts/wine/abi-check.cpp" "$out/table_caller.o" \
  "$build/api/libTavrix.dll.a" "${link[@]}" -o "$out/abi-check.exe"
rm -f "$out/table_caller.o"
"$arch-w64-mingw32-objdump" -p "$build/dist/Tavrix.dll" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && NF == 0 { table = 0 }
       table { print $NF }' | sort >"$out/Tavrix.exports"
[ -s "$out/Tavrix.exports" ] || { echo "build-checks: no export names read from Tavrix.dll" >&2; exit 1; }
echo "check programs ($arch): $out ($(wc -l <"$out/Tavrix.exports") Tavrix exports)"
