# Debian packages from CPack: `cpack -G DEB` (or the `package` target) in a
# build folder configured with -DCMAKE_INSTALL_PREFIX=/usr. One package per
# install component:
#   lib    -> libtarnlink1       the two shared libraries (the number: the SONAME's)
#   dev    -> libtarnlink-dev    header, unversioned links, pkg-config, CMake package, tarnlink(3)
#   tools  -> tarnlink-tools     the tarnlink tool (and tarnlink-extcap), tarnlink(1)
#   python -> python3-tarnlink   the Python package, when python/ is in the tree
set(TARNLINK_PACKAGE_CONTACT "the tarnlink authors <tarnlink@example.org>"
  CACHE STRING "Maintainer field of the Debian packages")
set(TARNLINK_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(_deb_components lib dev tools)
set(_deb_name_lib libtarnlink${PROJECT_VERSION_MAJOR})
set(_deb_name_dev libtarnlink-dev)
set(_deb_name_tools tarnlink-tools)
if(EXISTS ${PROJECT_SOURCE_DIR}/python/pyproject.toml)
  list(APPEND _deb_components python)
  set(_deb_name_python python3-tarnlink)
endif()


# The Debian changelog's entry carries the date of this version's section in
# CHANGELOG.md ("## [1.0.0] - 2026-12-09"), or of the newest dated section
# while this version has none yet: never the day of the build.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md _release_lines REGEX "^## \\[[0-9.]+\\] - [0-9]+-[0-9]+-[0-9]+")
set(_release_date "")
foreach(line IN LISTS _release_lines)
  if(line MATCHES "^## \\[([0-9.]+)\\] - ([0-9]+-[0-9]+-[0-9]+)")
    if(_release_date STREQUAL "" OR CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
      set(_release_date ${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()
if(_release_date STREQUAL "")
  message(FATAL_ERROR "CHANGELOG.md has no dated section (## [X.Y.Z] - YYYY-MM-DD)")
endif()
execute_process(COMMAND date -u -R -d "${_release_date} 12:00:00"
  OUTPUT_VARIABLE TARNLINK_DEB_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(TARNLINK_DEB_VERSION ${PROJECT_VERSION}-${TARNLINK_DEB_RELEASE})
set(CPACK_PACKAGE_CONTACT ${TARNLINK_PACKAGE_CONTACT})

# Every package carries the copyright file and both changelogs, compressed
# without name or time stamp.
set(_doc ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_doc})
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.Debian.in ${_doc}/changelog.Debian @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${_doc}/changelog COPYONLY)
foreach(f changelog changelog.Debian)
  execute_process(COMMAND gzip -9nf ${_doc}/${f} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
foreach(c IN LISTS _deb_components)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${_doc}/changelog.gz ${_doc}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_deb_name_${c}} COMPONENT ${c})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/reference_keys.md ${PROJECT_SOURCE_DIR}/docs/wire_format.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtarnlink-dev COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lib.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${_deb_name_lib} COMPONENT lib)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnlink)
set(CPACK_PACKAGE_VENDOR "the tarnlink authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${_deb_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARNLINK_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(_exact "(= ${TARNLINK_DEB_VERSION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${_deb_name_lib})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_LIB_DESCRIPTION "driver libraries for CAN/CAN FD to Ethernet gateways
libtarnlink_tcp talks to tarnlink gateways over TCP, as client or as server;
libtarnlink_udp over UDP, unicast or multicast. Both export the same C
interface: devices and channels, CAN and CAN FD transmit and receive queues,
error information, timed sends held by the gateway, GPS records and device
queries.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarnlink-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_deb_name_lib} ${_exact}, libcjson-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files of the tarnlink gateway driver
The C header, the unversioned library links, pkg-config files (tarnlink_tcp,
tarnlink_udp), the CMake package (find_package(tarnlink)) and the tarnlink(3)
manual page of the driver for tarnlink CAN/CAN FD to Ethernet gateways.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarnlink-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The tool loads the driver library at run time: no linked dependency to compute.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_deb_name_lib} ${_exact}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool and simulator for tarnlink gateways
The tarnlink tool dumps, sends, replays and generates CAN and CAN FD frames
through a tarnlink gateway in the style of can-utils (candump log format,
cansend syntax), reads device information and manages the gateway's timed
sends. It also plays a gateway on this machine for tests and demonstrations.")
if(TARNLINK_EXTCAP_DIR)
  string(APPEND CPACK_DEBIAN_TOOLS_DESCRIPTION "
tarnlink-extcap makes the gateway's channels Wireshark capture interfaces.")
endif()

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tarnlink)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-can, ${_deb_name_lib} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python bindings and python-can interface for tarnlink gateways
The tarnlink package reaches the tarnlink driver libraries through ctypes and
registers a python-can interface, so that python-can's tools and programs use
tarnlink CAN/CAN FD to Ethernet gateways.")

include(CPack)
