# What a Linux user installs (host target only): towerctl, the modules its
# host machine loads, the udev rule that lets users open towers, and its
# manual page; and the Debian package made of them (cpack -G DEB).
#
# zmbterm stays out: on the host it drives only simulated towers, so it
# serves the project's own tests and development, not a user with a tower.
include(GNUInstallDirs)

# towerctl finds its modules by its run path; they find each other and the
# host machine's libraries beside themselves.
set_target_properties(towerctl PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${TOWER_INSTALL_MODULE_DIR}")
set(tower_installed_modules hk hkwin32 Tavrix Quenta installer Menvok Ostrel)
set_target_properties(${tower_installed_modules} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS towerctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT towerctl)
install(TARGETS ${tower_installed_modules}
  LIBRARY DESTINATION ${TOWER_INSTALL_MODULE_DIR} COMPONENT towerctl)
# The driver's setup information, which the demo's installer reads.
install(FILES ${TOWER_INF_FILE}
  DESTINATION ${TOWER_INSTALL_MODULE_DIR} COMPONENT towerctl)
install(FILES ${PROJECT_SOURCE_DIR}/setup/linux/70-tower.rules
  DESTINATION ${TOWER_INSTALL_UDEV_DIR} COMPONENT towerctl)

# The manual page, from the program's own --help and --version (so it never
# disagrees with them) and tools/towerctl/towerctl.h2m; compressed, as
# Debian keeps manual pages. A build without help2man still builds, but
# cannot install.
find_program(TOWER_HELP2MAN help2man)
set(tower_man ${CMAKE_BINARY_DIR}/man/towerctl.1)
if(TOWER_HELP2MAN)
  add_custom_command(OUTPUT ${tower_man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${TOWER_HELP2MAN} --no-info --section 1 --source "towerctl ${PROJECT_VERSION}"
            --name "look at and drive USB infrared towers"
            --include ${PROJECT_SOURCE_DIR}/tools/towerctl/towerctl.h2m
            --output ${tower_man} $<TARGET_FILE:towerctl>
    COMMAND gzip -9nf ${tower_man}
    DEPENDS towerctl ${PROJECT_SOURCE_DIR}/tools/towerctl/towerctl.h2m
    COMMENT "Manual page towerctl.1 from towerctl --help"
    VERBATIM)
  add_custom_target(towerctl-man ALL DEPENDS ${tower_man}.gz)
  install(FILES ${tower_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT towerctl)
else()
  message(STATUS "help2man not found: towerctl's manual page is not built, and install fails")
  install(CODE "message(FATAL_ERROR \"towerctl.1 was not built: install help2man and \"
    \"configure again\")" COMPONENT towerctl)
endif()

# The package: towerctl_<version>_<arch>.deb, installed under /usr. Its
# dependencies are what dpkg-shlibdeps finds the installed binaries need
# (libusb-1.0-0, the C and C++ runtimes); the modules are private to it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME towerctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tower software maintainers <tower@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look at and drive USB infrared towers")
set(CPACK_PACKAGE_DESCRIPTION
  "towerctl lists the USB infrared towers (0f5c:0001) plugged into this computer, shows their state, settings and counters, changes their settings and stored defaults, and sends and receives through them, by libusb. A udev rule lets the user at the seat and the group plugdev open towers without root.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/setup/linux/debian/postinst
  ${PROJECT_SOURCE_DIR}/setup/linux/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
