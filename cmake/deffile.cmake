# Export and import lists (.def files) are written with the standard-call
# decorations of 32-bit Windows (name@bytes). 64-bit Windows has one calling
# convention and no decorations: there the list loses its @N suffixes.
# tower_arch_def(OUT_VAR file.def) sets OUT_VAR to the list for this build.
function(tower_arch_def out def)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    get_filename_component(name ${def} NAME)
    file(READ ${def} text)
    string(REGEX REPLACE "@[0-9]+" "" text "${text}")
    set(plain ${CMAKE_CURRENT_BINARY_DIR}/x64-${name})
    file(WRITE ${plain} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
    set(${out} ${plain} PARENT_SCOPE)
  else()
    set(${out} ${def} PARENT_SCOPE)
  endif()
endfunction()
