# Debian packages, made with "cpack" in a build directory configured with
# the /usr prefix (the default and ppc presets):
#   tavunetlink        the daemon, its manual page, the service files
#   tavunetlink-tools  the tools and their manual pages (component "tools")
#   libtavuclient-dev  the client library, its header and pkg-config file
# Each has its copyright file and changelog in /usr/share/doc/PACKAGE.
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
set(CPACK_COMPONENTS_ALL tavunetlink tools dev)
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
abstract Unix socket. The package holds the daemon, a systemd unit and an
init script; the service runs the coldplug tool of tavunetlink-tools when
it is installed.")
# Coldplug is optional: the service files skip it without tavutrigger.
set(CPACK_DEBIAN_TAVUNETLINK_PACKAGE_RECOMMENDS tavunetlink-tools)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tavunetlink-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "tools of the tavunetlink hot-plug daemon
tavumon (a client printing every event), tavuinject (a uevent sender for
tests), tavutrigger (coldplug: replays the uevents of the devices already
there) and, built for a workstation, tavutrace (decodes the daemon's trace
with the texts of the daemon binary that wrote it).")

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
foreach(component TAVUNETLINK TOOLS)
  if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 12), libstdc++6 (>= 12)")
  else()
    set(CPACK_DEBIAN_${component}_PACKAGE_SHLIBDEPS ON)
  endif()
endforeach()

# One source, one changelog and one copyright for every package. Only in the
# packages: the board's file tree (cmake --install) has no use for them.
configure_file(${CMAKE_SOURCE_DIR}/service/debian/changelog ${CMAKE_BINARY_DIR}/debian/changelog.Debian COPYONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog.Debian RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${CMAKE_BINARY_DIR}/debian/changelog.Debian failed")
endif()
foreach(component TAVUNETLINK TOOLS DEV)
  string(TOLOWER ${component} name)
  install(FILES ${CMAKE_SOURCE_DIR}/service/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${component}_PACKAGE_NAME}
          COMPONENT ${name} EXCLUDE_FROM_ALL)
endforeach()

# The daemon's maintainer scripts register the service with whichever init
# system the machine runs; the init script and its settings are conffiles.
# The other packages have none.
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/tavunetlink\n${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/tavunetlink\n")
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/service/debian/${script} ${CMAKE_BINARY_DIR}/debian/${script} COPYONLY)
endforeach()
set(CPACK_DEBIAN_TAVUNETLINK_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/debian/conffiles ${CMAKE_BINARY_DIR}/debian/postinst
    ${CMAKE_BINARY_DIR}/debian/prerm ${CMAKE_BINARY_DIR}/debian/postrm)

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-compress-man.cmake)

include(CPack)
