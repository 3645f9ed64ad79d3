# SPDX-License-Identifier: Apache-2.0
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

# The .pc files find the prefix from where they are installed, however deep the library folder
# (lib, or Debian's lib/<multiarch triplet>); an absolute library folder is taken as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VEMRICK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH VEMRICK_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" VEMRICK_PC_UP "${VEMRICK_PC_UP}")
  set(VEMRICK_PC_PREFIX "\${pcfiledir}/${VEMRICK_PC_UP}")
endif()
set(VEMRICK_PC_LIBS "-pthread")
if(CMAKE_DL_LIBS)
  string(PREPEND VEMRICK_PC_LIBS "-l${CMAKE_DL_LIBS} ")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vemrick.pc.in ${PROJECT_BINARY_DIR}/vemrick.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vemrick.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vemrick-static.pc.in ${PROJECT_BINARY_DIR}/vemrick-static.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vemrick-static.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The manual page carries the project version.
configure_file(${PROJECT_SOURCE_DIR}/man/vemrick.1 ${PROJECT_BINARY_DIR}/man/vemrick.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/man/vemrick.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Python package is not installed by CMake (pip or the Debian package install it). It is staged
# in <build>/python with vemrick/_version.py, which gives the package and pip the project version:
# that copy is what tests import and what pip and the Debian package install.
file(GLOB_RECURSE VEMRICK_PYTHON_FILES RELATIVE ${PROJECT_SOURCE_DIR}/python ${PROJECT_SOURCE_DIR}/python/*)
foreach(file IN LISTS VEMRICK_PYTHON_FILES)
  if(NOT file MATCHES "__pycache__|\\.pyc$|\\.egg-info|^build/")
    configure_file(${PROJECT_SOURCE_DIR}/python/${file} ${PROJECT_BINARY_DIR}/python/${file} COPYONLY)
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/python_version.py.in
  ${PROJECT_BINARY_DIR}/python/vemrick/_version.py @ONLY)
