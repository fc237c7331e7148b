# Install rules: the shared library with its SONAME links, the static
# archive, the header, the host program, a CMake package
# (find_package(brelvane-mqtt) -> brelvane::mqtt, brelvane::mqtt_static) and
# a pkg-config file. Every installed file locates the others relative to
# itself, so an installed tree still works after it has been moved.
include(CMakePackageConfigHelpers)

set(BV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/brelvane-mqtt)

install(TARGETS brelvane-mqtt EXPORT brelvane-mqtt-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS brelvane-mqtt-static EXPORT brelvane-mqtt-static-targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/brelvane_mqtt.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The host program is built in daemon/; from an installed tree it finds the
# library next to itself, wherever the prefix is.
file(RELATIVE_PATH BV_BIN_TO_LIB /root/${CMAKE_INSTALL_BINDIR} /root/${CMAKE_INSTALL_LIBDIR})
set_target_properties(brelvane-mqttd PROPERTIES INSTALL_RPATH "$ORIGIN/${BV_BIN_TO_LIB}")

# Two export sets: the archive needs zlib's development files, which a
# program that links the shared library does not, so the package file loads
# the archive's targets only when it can satisfy them.
install(EXPORT brelvane-mqtt-targets NAMESPACE brelvane::
  FILE brelvane-mqtt-targets.cmake DESTINATION ${BV_CMAKE_DIR})
install(EXPORT brelvane-mqtt-static-targets NAMESPACE brelvane::
  FILE brelvane-mqtt-static-targets.cmake DESTINATION ${BV_CMAKE_DIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/brelvane-mqtt-config.cmake.in
  ${PROJECT_BINARY_DIR}/package/brelvane-mqtt-config.cmake @ONLY)
# The SONAME changes with the major version, so only that must match.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/brelvane-mqtt-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/brelvane-mqtt-config.cmake
  ${PROJECT_BINARY_DIR}/package/brelvane-mqtt-config-version.cmake
  DESTINATION ${BV_CMAKE_DIR})

# pkg-config: the prefix is derived from the file's own place (pcfiledir), so
# the same file serves `cmake --install --prefix`, the Debian package (whose
# prefix is only chosen when cpack runs) and a moved tree.
file(RELATIVE_PATH BV_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" BV_PC_TO_PREFIX "${BV_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/brelvane-mqtt.pc.in
  ${PROJECT_BINARY_DIR}/package/brelvane-mqtt.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/brelvane-mqtt.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
