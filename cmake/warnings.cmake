# Warnings are errors on every target and every configuration.
add_compile_options(-Wall -Wextra -Werror -Wshadow -Wcast-align
                    -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations
                    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)

# Options that make a translation unit kernel-safe: no exceptions, no RTTI, no
# hosted library, no floating point, no thread-safe statics (they need the CRT).
set(TOWER_KERNEL_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
                       -fno-asynchronous-unwind-tables)
