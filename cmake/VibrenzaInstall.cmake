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
