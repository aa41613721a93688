# The one version of the tower software: project(... VERSION) in the top
# CMakeLists.txt. Everything that carries a version takes it from here: the
# INF's DriverVer, every image's version record, towerctl --version and the
# names of the Windows archives.
#
# Windows writes a version as four numbers; the project's three become
# major.minor.0.build, as the driver's record has always read (1.0.0.160
# for 1.0.160), so that the setup's newer-file comparison keeps working
# across releases.
set(TOWER_VERSION ${PROJECT_VERSION})
set(TOWER_FILE_VERSION
  "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.${PROJECT_VERSION_PATCH}")
set(TOWER_FILE_VERSION_COMMAS
  "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},0,${PROJECT_VERSION_PATCH}")

# The driver also reports its version to applications (the GET_VERSION
# record), from constants the kernel code compiles in: they must name the
# same version, or a tower's "info" would disagree with the file's record.
file(STRINGS ${PROJECT_SOURCE_DIR}/common/include/tower/ids.h tower_ids_lines
  REGEX "kDriver(Major|Minor|Build) = ")
foreach(part Major Minor Build)
  string(REGEX MATCH "kDriver${part} = ([0-9]+)" _ "${tower_ids_lines}")
  set(tower_driver_${part} ${CMAKE_MATCH_1})
endforeach()
if(NOT "${tower_driver_Major}.${tower_driver_Minor}.${tower_driver_Build}" STREQUAL
   "${PROJECT_VERSION}")
  message(FATAL_ERROR "common/include/tower/ids.h reports driver version "
    "${tower_driver_Major}.${tower_driver_Minor}.${tower_driver_Build}, the project is "
    "${PROJECT_VERSION}: change both together")
endif()

# tower_version_resource(<target> <file name> <description> <type>): the
# image's version record (VS_VERSION_INFO), made from version.rc.in. <type>
# is APP, DLL or DRV. Only on Windows: the host's modules carry one resource
# block each, their own .rc, and nothing there reads a version record.
function(tower_version_resource target file description type)
  if(TOWER_TARGET STREQUAL "host")
    return()
  endif()
  set(TOWER_RC_FILE_NAME ${file})
  set(TOWER_RC_DESCRIPTION ${description})
  get_filename_component(TOWER_RC_INTERNAL_NAME ${file} NAME_WE)
  set(TOWER_RC_FILE_OS VOS_NT_WINDOWS32)
  set(TOWER_RC_SUBTYPE VFT2_UNKNOWN)
  if(type STREQUAL "APP")
    set(TOWER_RC_FILE_TYPE VFT_APP)
    # Programs and libraries run on both families; the driver on NT only.
    set(TOWER_RC_FILE_OS VOS__WINDOWS32)
  elseif(type STREQUAL "DLL")
    set(TOWER_RC_FILE_TYPE VFT_DLL)
    set(TOWER_RC_FILE_OS VOS__WINDOWS32)
  elseif(type STREQUAL "DRV")
    set(TOWER_RC_FILE_TYPE VFT_DRV)
    set(TOWER_RC_SUBTYPE VFT2_DRV_SYSTEM)
  else()
    message(FATAL_ERROR "tower_version_resource: type ${type} is not APP, DLL or DRV")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
