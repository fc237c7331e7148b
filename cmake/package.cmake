# Packaging with CPack: `cpack -G DEB` in a build directory makes one Debian
# package with everything `cmake --install` puts in place (library, archive,
# header, CMake and pkg-config files, host program). One package rather than
# a library/-dev/daemon split: the library is small, and a newcomer gets a
# working C build and the host program from a single install.
set(BV_PACKAGE_MAINTAINER "brelvane-mqtt developers <maintainers@brelvane-mqtt.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME brelvane-mqtt)
set(CPACK_PACKAGE_VENDOR brelvane-mqtt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${BV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "embeddable MQTT broker library and host program")
set(CPACK_PACKAGE_DESCRIPTION
  "An MQTT 3.1.1 and 5.0 broker (TCP and WebSocket) that runs inside the host's
process behind a small C API. Includes the shared library, the static archive,
the C header, CMake package files (find_package(brelvane-mqtt) gives
brelvane::mqtt), a pkg-config file (brelvane-mqtt.pc) and the host program
brelvane-mqttd, which can serve a live dashboard and Prometheus metrics over
HTTP (--http PORT).")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${BV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the binaries (libc6, zlib1g, libstdc++6, libgcc-s1); the
# host program's link to the library in the same package is resolved there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file lets other packages depend on this one through shlibdeps,
# and comes with the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Static linking needs zlib's development files; pkg-config reads the .pc.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "zlib1g-dev, pkgconf")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
