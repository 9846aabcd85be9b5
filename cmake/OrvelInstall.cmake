# What `cmake --install` puts beside the targets' own files: the CMake package (find_package
# (OrvelKF) gives OrvelKF::OrvelKF, OrvelKF::OrvelCommon, OrvelKF::OrvelPlatform), the pkg-config
# file, and the systemd service and timer of the scheduled update.
include(CMakePackageConfigHelpers)

set(ORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvelKF)
install(EXPORT OrvelKFTargets NAMESPACE OrvelKF:: DESTINATION ${ORVEL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/OrvelKFConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/OrvelKFConfig.cmake INSTALL_DESTINATION ${ORVEL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/OrvelKFConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/OrvelKFConfig.cmake
  ${CMAKE_BINARY_DIR}/packaging/OrvelKFConfigVersion.cmake DESTINATION ${ORVEL_CMAKE_DIR})

# pkg-config and the units name installed paths: written at install time, so that
# `cmake --install --prefix` is honoured.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
  set(includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(version \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/orvelkf.pc.in\"
    \"\$ENV{DESTDIR}\${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/orvelkf.pc\" @ONLY)
  foreach(unit orvelkf-update.service orvelkf-update.timer)
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/\${unit}.in\"
      \"\$ENV{DESTDIR}\${prefix}/lib/systemd/system/\${unit}\" @ONLY)
  endforeach()
")
