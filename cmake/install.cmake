# Installation: the tool, the library with its public header, a CMake package giving the imported
# target vemrick::vemrick, a pkg-config file and the manual page.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(vemrick_library PROPERTIES EXPORT_NAME vemrick)
install(TARGETS vemrick_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vemrick_library EXPORT vemrickTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VEMRICK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vemrick)
install(EXPORT vemrickTargets NAMESPACE vemrick:: DESTINATION ${VEMRICK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vemrickConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vemrickConfig.cmake INSTALL_DESTINATION ${VEMRICK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vemrickConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vemrickConfig.cmake ${PROJECT_BINARY_DIR}/vemrickConfigVersion.cmake
  DESTINATION ${VEMRICK_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/vemrick.pc.in ${PROJECT_BINARY_DIR}/vemrick.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vemrick.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/man/vemrick.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
