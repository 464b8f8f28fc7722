# Debian packages, made with "cpack" in a build directory configured with
# the /usr prefix (the default and ppc presets):
#   tavunetlink        the daemon, its tools, the service files, the manuals
#   libtavuclient-dev  the client library, its header and pkg-config file
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Debian packages want CMAKE_INSTALL_PREFIX=/usr (now ${CMAKE_INSTALL_PREFIX})")
endif()

# cpack packages what the build made; otherwise it would first build every
# target, tests and benchmarks included.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavunetlink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tavunetlink dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(TAVU_PACKAGE_MAINTAINER "tavunetlink maintainers <maintainers@users.noreply.c-seed-671c0486.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVU_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TAVUNETLINK_PACKAGE_NAME tavunetlink)
set(CPACK_DEBIAN_TAVUNETLINK_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TAVUNETLINK_DESCRIPTION "hot-plug daemon of the kwb bus
tavunetlink keeps /dev in step with the devices of the kwb bus, from the
kernel's uevents, and tells one local client of each hot-plug event over an
abstract Unix socket. The package also holds the tools tavumon (a client
printing every event), tavuinject (a uevent sender for tests) and
tavutrigger (replays the uevents of the devices already there), a systemd
unit and an init script; built for a workstation, also tavutrace (decodes
the daemon's trace with the texts of the daemon binary that wrote it).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavuclient-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "client library of the tavunetlink hot-plug daemon
A static C library that connects to tavunetlink, completes the handshake,
and receives and acknowledges its hot-plug events, with its header and
pkg-config file (tavuclient).")

# The board's architecture when cross-compiling: dpkg would name this
# machine's.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "powerpc")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
  else()
    message(WARNING "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
endif()

# Native: dpkg-shlibdeps reads the libraries' versions from this machine's
# packages. Cross: it cannot (the cross libraries belong to -cross packages
# under other names), so the versions are those of the toolchain built
# against (Debian 12's); the C and C++ libraries only add symbols, so the
# binaries run on these or newer.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_TAVUNETLINK_PACKAGE_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 12), libstdc++6 (>= 12)")
else()
  set(CPACK_DEBIAN_TAVUNETLINK_PACKAGE_SHLIBDEPS ON)
endif()

# Maintainer scripts register the service with whichever init system the
# machine runs; the init script is a conffile.
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/tavunetlink\n")
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/service/debian/${script} ${CMAKE_BINARY_DIR}/debian/${script} COPYONLY)
endforeach()
set(CPACK_DEBIAN_TAVUNETLINK_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/debian/conffiles ${CMAKE_BINARY_DIR}/debian/postinst
    ${CMAKE_BINARY_DIR}/debian/prerm ${CMAKE_BINARY_DIR}/debian/postrm)

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-compress-man.cmake)

include(CPack)
