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
    # Last among the sources: the module's own static objects are built
    # before its DllMain runs.
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/win32/module/attach.cpp)
  endif()
endfunction()
