# A received packet crosses the driver logic, its host glue, the host kernel,
# the Win32 layer and the simulated tower: a few small calls per layer, most
# of them between files (a spin lock's acquire, a request's completion). In
# optimised host builds those libraries are compiled for link-time
# optimisation, so such calls are inlined as if they were in one file, and a
# shared library's calls to its own exported functions bind at link time
# (-fno-semantic-interposition: nothing replaces one of their functions from
# outside). Debug and sanitizer builds are left as they are, and so are the
# Windows targets, whose build is the platform's.
include(CheckIPOSupported)

function(tower_hot_path target)
  if(NOT TOWER_TARGET STREQUAL "host" OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
     OR CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    return()
  endif()
  if(NOT DEFINED CACHE{TOWER_IPO_SUPPORTED})
    check_ipo_supported(RESULT supported LANGUAGES CXX)
    set(TOWER_IPO_SUPPORTED ${supported} CACHE INTERNAL "link-time optimisation works here")
  endif()
  if(NOT TOWER_IPO_SUPPORTED)
    return()
  endif()
  set_target_properties(${target} PROPERTIES
    INTERPROCEDURAL_OPTIMIZATION_RELEASE ON
    INTERPROCEDURAL_OPTIMIZATION_RELWITHDEBINFO ON)
  target_compile_options(${target} PRIVATE
    $<$<CONFIG:Release,RelWithDebInfo>:-fno-semantic-interposition>)
endfunction()
