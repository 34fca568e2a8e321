include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vibrenza EXPORT VibrenzaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/include/vibrenza
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VibrenzaTargets NAMESPACE Vibrenza::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vibrenza)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VibrenzaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VibrenzaConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vibrenza)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VibrenzaConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VibrenzaConfig.cmake
  ${PROJECT_BINARY_DIR}/VibrenzaConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Vibrenza)
# The .pc file finds its prefix from its own place, so that an install under
# any --prefix works without editing it.
file(RELATIVE_PATH VBZ_PC_PREFIX_REL "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vibrenza.pc.in
  ${PROJECT_BINARY_DIR}/vibrenza.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vibrenza.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The udev rule that lets ordinary users open a vest's USB node, in the
# prefix's rules folder (udev reads /usr/lib/udev/rules.d and
# /etc/udev/rules.d; under another prefix, copy it to the latter).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(VBZ_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder of the udev rule, relative to the install prefix unless absolute")
  install(FILES ${PROJECT_SOURCE_DIR}/device/platform/70-vibrenza.rules
    DESTINATION ${VBZ_UDEV_RULES_DIR} COMPONENT udev)
endif()
