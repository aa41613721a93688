# Warnings are errors on every target and every configuration.
add_compile_options(-Wall -Wextra -Werror -Wshadow -Wcast-align
                    -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations
                    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)

# Options that make a translation unit kernel-safe: no exceptions, no RTTI, no
# hosted library, no floating point, no thread-safe statics (they need the CRT).
set(TOWER_KERNEL_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
                       -fno-asynchronous-unwind-tables)

# On 32-bit Windows a standard call's name carries the bytes of its
# arguments. The linker would quietly match a name without them (or with
# others) to the decorated function, so an export list or an import that
# disagrees with a declaration would link with only a warning; as an error
# instead, a decoration in a .def file must be the declaration's own.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_link_options(-Wl,--disable-stdcall-fixup)
endif()
