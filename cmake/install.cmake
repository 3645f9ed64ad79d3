# Installation: the tool, the library with its public header, a CMake package giving the imported
# target vemrick::vemrick, a pkg-config file and the manual page. The library comes twice: static
# (vemrick::vemrick, pkg-config vemrick-static) and shared (vemrick::shared, pkg-config vemrick).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(vemrick_library PROPERTIES EXPORT_NAME vemrick)
install(TARGETS vemrick_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vemrick_library EXPORT vemrickTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# libvemrick.so.<VERSION> and its links libvemrick.so.1 (the SONAME) and libvemrick.so.
if(TARGET vemrick_shared)
  set_target_properties(vemrick_shared PROPERTIES EXPORT_NAME shared)
  install(TARGETS vemrick_shared EXPORT vemrickTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

set(VEMRICK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vemrick)
install(EXPORT vemrickTargets NAMESPACE vemrick:: DESTINATION ${VEMRICK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vemrickConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vemrickConfig.cmake INSTALL_DESTINATION ${VEMRICK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vemrickConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vemrickConfig.cmake ${PROJECT_BINARY_DIR}/vemrickConfigVersion.cmake
  DESTINATION ${VEMRICK_CMAKE_DIR})

set(VEMRICK_PC_LIBS "-pthread")
if(CMAKE_DL_LIBS)
  string(PREPEND VEMRICK_PC_LIBS "-l${CMAKE_DL_LIBS} ")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vemrick.pc.in ${PROJECT_BINARY_DIR}/vemrick.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vemrick.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vemrick-static.pc.in ${PROJECT_BINARY_DIR}/vemrick-static.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vemrick-static.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/man/vemrick.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
