# tower_module(<target> <file name>): a deliverable that other code loads by
# its Windows file name ("Tavrix.dll", "Celvane.dll", "Ostrel.cpl").
#
# On Windows the image gets exactly that name. On the host the shared library
# gets the same file name and lands in the build's module directory, beside
# the Win32 subset, where LoadLibraryA looks for it; it also carries the
# loader's notifications (host/win32/module/attach.cpp), so that its DllMain
# is called at attach and detach as on Windows.
set(TOWER_MODULE_DIR ${CMAKE_BINARY_DIR}/modules)
# Installed (host only), under the prefix: the modules in a private folder of
# towerctl's, which finds them by its run path, and the udev rule where udev
# reads packages' rules (with the prefix /usr).
set(TOWER_INSTALL_MODULE_DIR lib/towerctl)
set(TOWER_INSTALL_UDEV_DIR lib/udev/rules.d)

function(tower_module target file)
  string(REGEX MATCH "^(.*)(\\.[^.]+)$" _ "${file}")
  set(stem ${CMAKE_MATCH_1})
  set(ext ${CMAKE_MATCH_2})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${stem} SUFFIX ${ext})
  if(TOWER_TARGET STREQUAL "host")
    set_target_properties(${target} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${TOWER_MODULE_DIR})
    # The C runtime's allocations the module makes go through the host's
    # (host/win32/module/crt.cpp), which the machine's fault facility can
    # make fail; operator new is the non-throwing form's mangled name.
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(size m)
    else()
      set(size j)
    endif()
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/win32/module/crt.cpp)
    target_link_options(${target} PRIVATE
      -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc
      -Wl,--wrap=_Znw${size}RKSt9nothrow_t,--wrap=_Zna${size}RKSt9nothrow_t)
    # Last among the sources: the module's own static objects are built
    # before its DllMain runs.
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/win32/module/attach.cpp)
  endif()
endfunction()

# tower_host_ordinals(<target> <file.def>) (host only): the exports the
# module's .def file numbers ("Name@16 @14 NONAME") become a table compiled
# into the module, which the host's loader reads at attach: GetProcAddress
# with MAKEINTRESOURCEA(14) finds the function, and a NONAME one is not found
# by its name, as on Windows, where the linker builds the same numbers into
# the image's export directory. Rows without a number need no table: the
# host finds every export by its name. The standard-call decoration (@16) is
# not part of the host's symbol; "Name=Internal" names the host symbol on its
# right.
function(tower_host_ordinals target def)
  file(READ ${def} text)
  # Comments run from ';' to the end of the line; ';' also separates CMake
  # list items, so they go before the text is split into lines.
  string(REGEX REPLACE ";[^\n]*" "" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(rows "")
  set(in_exports FALSE)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^(LIBRARY|NAME|DESCRIPTION|VERSION|HEAPSIZE|STACKSIZE|SECTIONS|IMPORTS)([ \t]|$)")
      set(in_exports FALSE)
    elseif(line MATCHES "^EXPORTS([ \t]|$)")
      set(in_exports TRUE)
    elseif(in_exports AND line MATCHES
        "^([A-Za-z_][A-Za-z0-9_]*)(@[0-9]+)?(=([A-Za-z_][A-Za-z0-9_]*)(@[0-9]+)?)?[ \t]+@[ \t]*([0-9]+)(.*)$")
      set(symbol ${CMAKE_MATCH_1})
      if(CMAKE_MATCH_4)
        set(symbol ${CMAKE_MATCH_4})
      endif()
      set(ordinal ${CMAKE_MATCH_6})
      set(noname 0)
      if(CMAKE_MATCH_7 MATCHES "(^|[ \t])NONAME([ \t]|$)")
        set(noname 1)
      endif()
      if(ordinal LESS 1 OR ordinal GREATER 65535)
        message(FATAL_ERROR "${def}: ${symbol}: ordinal ${ordinal} is not 1 to 65535")
      endif()
      string(APPEND rows "    {${ordinal}, \"${symbol}\", ${noname}},\n")
    endif()
  endforeach()
  get_filename_component(name ${def} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}-${name}-ordinals.cpp)
  file(CONFIGURE OUTPUT ${out} CONTENT
"// Generated from ${def} by tower_host_ordinals(); read by the host's loader.
#include \"win32/host_module.h\"

extern \"C\" __attribute__((visibility(\"hidden\"))) const WIN32_HOST_EXPORT tower_module_ordinals[] = {
${rows}    {0, nullptr, 0},
};
" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  target_sources(${target} PRIVATE ${out})
endfunction()
