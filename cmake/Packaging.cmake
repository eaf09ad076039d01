# Install layout shared by every part, the pkg-config and CMake package files
# of the CAN library, and the packages (CPack):
#
#   Linux (Debian packages, `cmake --build --preset default --target package`):
#     tarvik           tarvik and quarnix-sim, their man pages and the docs
#     libocelolnx1     liboceloLnx.so.<version>
#     libocelolnx-dev  Ocelo.h, the .so link, liboceloLnx.a, oceloLnx.pc, the
#                      CMake package, Ocelo(3) and the examples
#     ocelo-tools      ocelo-send, ocelo-recv, ocelo-socketcand (with an
#                      example systemd unit), the simulated slot library
#                      (libslotsim with SlotSim.h, SlotSim(3) and slotsim.pc)
#                      and libhalvexsim
#     python3-ocelo    the python-can interface "ocelo" (architecture all)
#   The armhf preset packages the two library packages only.
#   Windows (`cmake --build --preset mingw --target package`): one zip with
#   tarvik.exe for 64-bit (win64/) and 32-bit (win32/) Windows, OceloCE.dll with
#   its .def, import library and Ocelo.h (OceloCE/), and the README.

set(TARVIK_PKG_MAINTAINER "Tarvik toolkit maintainers <tarvik-maintainers@example.org>")
set(TARVIK_PKG_RELEASE 1)
set(_pkgdir ${CMAKE_CURRENT_LIST_DIR}/packaging)

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT windows)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    return()  # the 32-bit build makes tarvik.exe for the 64-bit build's zip
  endif()
  # The 32-bit tarvik.exe: the mingw32 preset's configuration, built along
  # with this one.  The mingw preset's own folder (build-mingw) uses the
  # mingw32 preset's folder (build-mingw32); any other build a folder inside.
  if(CMAKE_BINARY_DIR STREQUAL "${PROJECT_SOURCE_DIR}/build-mingw")
    set(_win32_default ${PROJECT_SOURCE_DIR}/build-mingw32)
  else()
    set(_win32_default ${CMAKE_BINARY_DIR}/win32-build)
  endif()
  set(TARVIK_WIN32_BUILD_DIR ${_win32_default} CACHE PATH "Build folder of the 32-bit tarvik.exe for the Windows zip")
  add_custom_target(tarvik_win32 ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DBINARY_DIR=${TARVIK_WIN32_BUILD_DIR}
            -P ${CMAKE_CURRENT_LIST_DIR}/BuildWin32.cmake
    COMMENT "Building the 32-bit tarvik.exe in ${TARVIK_WIN32_BUILD_DIR}"
    USES_TERMINAL)
  install(PROGRAMS ${TARVIK_WIN32_BUILD_DIR}/bin/tarvik.exe DESTINATION win32 COMPONENT windows)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME tarvik)
  set(CPACK_PACKAGE_VENDOR "Tarvik toolkit developers")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME tarvik-${PROJECT_VERSION}-windows)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL windows)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
  set(CPACK_STRIP_FILES TRUE)
  include(CPack)
  return()
endif()

# Debian package name of each component; the docs of a package go to
# share/doc/<package>, as Debian has them.
set(_pkg_terminal tarvik)
set(_pkg_canlib libocelolnx${PROJECT_VERSION_MAJOR})
set(_pkg_canlib_dev libocelolnx-dev)
set(_pkg_cantools ocelo-tools)
set(_pkg_python python3-ocelo)
set(_components canlib canlib_dev)
if(TARGET tarvik)
  list(PREPEND _components terminal)
endif()
if(TARGET ocelo-send AND NOT CMAKE_CROSSCOMPILING)
  list(APPEND _components cantools)
endif()
if(DEFINED OCELO_PY_DIST)
  list(APPEND _components python)
endif()

find_program(TARVIK_GZIP gzip)
foreach(c IN LISTS _components)
  set(PKG ${_pkg_${c}})
  set(PKG_VERSION ${PROJECT_VERSION}-${TARVIK_PKG_RELEASE})
  set(PKG_MAINTAINER ${TARVIK_PKG_MAINTAINER})
  set(_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PKG})
  configure_file(${_pkgdir}/changelog.in ${CMAKE_BINARY_DIR}/packaging/${PKG}/changelog.Debian @ONLY)
  if(TARVIK_GZIP)
    # gzip -9n: no name and time stamp in the file, as Debian wants it.
    execute_process(COMMAND ${TARVIK_GZIP} -9nf changelog.Debian
                    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging/${PKG})
    set(_changelog ${CMAKE_BINARY_DIR}/packaging/${PKG}/changelog.Debian.gz)
  else()
    set(_changelog ${CMAKE_BINARY_DIR}/packaging/${PKG}/changelog.Debian)
  endif()
  install(FILES ${_pkgdir}/copyright ${_changelog} DESTINATION ${_docdir} COMPONENT ${c})
endforeach()

if(TARGET tarvik)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/docs/ansi-and-help.md ${PROJECT_SOURCE_DIR}/docs/diagnostics.md
                ${PROJECT_SOURCE_DIR}/docs/scripts.md ${PROJECT_SOURCE_DIR}/docs/transfer.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg_terminal} COMPONENT terminal)
endif()
if(cantools IN_LIST _components)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/ocelo-socketcand.service
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg_cantools} COMPONENT cantools)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/docs/canlib.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg_canlib_dev} COMPONENT canlib_dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/ocelo-example.c ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg_canlib_dev}/examples COMPONENT canlib_dev)

# pkg-config files, written at install time so that they name the prefix the
# files are installed under (/usr in the packages).
function(tarvik_install_pc name component)
  set(_out ${CMAKE_BINARY_DIR}/packaging/${name}.pc)
  install(CODE "
    set(PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${_pkgdir}/${name}.pc.in\" \"${_out}\" @ONLY)" COMPONENT ${component})
  install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${component})
endfunction()

# The CMake package: find_package(oceloLnx [COMPONENTS slotsim]).
include(CMakePackageConfigHelpers)
set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/oceloLnx)
if(TARGET oceloLnx_shared)
  tarvik_install_pc(oceloLnx canlib_dev)
  configure_package_config_file(${_pkgdir}/oceloLnxConfig.cmake.in ${CMAKE_BINARY_DIR}/packaging/oceloLnxConfig.cmake
                                INSTALL_DESTINATION ${_cmakedir})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/oceloLnxConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/oceloLnxConfig.cmake ${CMAKE_BINARY_DIR}/packaging/oceloLnxConfigVersion.cmake
          DESTINATION ${_cmakedir} COMPONENT canlib_dev)
  install(EXPORT oceloLnxTargets NAMESPACE oceloLnx:: DESTINATION ${_cmakedir} COMPONENT canlib_dev)
endif()
if(TARGET slotsim_shared)
  tarvik_install_pc(slotsim cantools)
  install(EXPORT oceloLnxSlotSimTargets NAMESPACE oceloLnx:: DESTINATION ${_cmakedir} COMPONENT cantools)
endif()

# Debian packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik-toolkit)
set(CPACK_PACKAGE_VENDOR "Tarvik toolkit developers")
set(CPACK_PACKAGE_CONTACT ${TARVIK_PKG_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVIK_PKG_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only the build machine's libraries.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_CANLIB_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_DEBIAN_TERMINAL_PACKAGE_NAME ${_pkg_terminal})
set(CPACK_DEBIAN_TERMINAL_PACKAGE_SECTION comm)
set(CPACK_COMPONENT_TERMINAL_DESCRIPTION "serial terminal for Quarnix controllers, with a controller simulator
tarvik shows what a controller of the Quarnix family prints on its RS-232
line and sends what you type; it downloads programs into the controller's
flash or SRAM with a CRC-checked block protocol and starts them from one
hotkey, fetches files back, sets the controller's clock, runs script files,
logs received data and offers line diagnostics.

quarnix-sim is a simulated controller on a pseudo-terminal, to try tarvik
without hardware.")

set(CPACK_DEBIAN_CANLIB_PACKAGE_NAME ${_pkg_canlib})
set(CPACK_DEBIAN_CANLIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Packages with shared libraries let dpkg run ldconfig once at the end.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_CANLIB_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers)
set(CPACK_DEBIAN_CANTOOLS_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_CANLIB_DESCRIPTION "Ocelo CAN board library for Linux controllers
oceloLnx brings up an Ocelo CAN board in a controller's I/O slot through its
dual-port RAM and moves standard and extended CAN frames both ways.  An
application links it with the controller's slot library (or with the
simulated one of the ocelo-tools package).")

set(CPACK_DEBIAN_CANLIB_DEV_PACKAGE_NAME ${_pkg_canlib_dev})
set(CPACK_DEBIAN_CANLIB_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CANLIB_DEV_PACKAGE_DEPENDS "${_pkg_canlib} (= ${PROJECT_VERSION}-${TARVIK_PKG_RELEASE})")
# The simulated slots (find_package(oceloLnx COMPONENTS slotsim), slotsim.pc)
# to build and try an application on a PC.
set(CPACK_DEBIAN_CANLIB_DEV_PACKAGE_SUGGESTS ${_pkg_cantools})
set(CPACK_COMPONENT_CANLIB_DEV_DESCRIPTION "Ocelo CAN board library for Linux controllers - development files
The header Ocelo.h, the static library, the pkg-config file oceloLnx.pc,
the CMake package (find_package(oceloLnx)), the Ocelo(3) manual page and
an example.")

set(CPACK_DEBIAN_CANTOOLS_PACKAGE_NAME ${_pkg_cantools})
set(CPACK_DEBIAN_CANTOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_CANTOOLS_DESCRIPTION "CAN tools for Ocelo boards, with simulated boards
ocelo-send sends CAN frames from an Ocelo board and ocelo-recv prints what
a board receives; ocelo-socketcand serves the board's slots over the
network in the socketcand protocol (python-can's socketcand interface and
other socketcand clients).  On a PC they run on simulated boards: the simulated
slot library libslotsim (SlotSim.h, slotsim.pc) and the simulated platform
library libhalvexsim stand in for the controller's libraries.")

# The python-can interface: pure Python, byte-compiled on the machine by
# py3compile and cleaned by py3clean as Debian's other Python packages are.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${_pkg_python})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${_pkg_canlib} (>= ${PROJECT_VERSION}), python3-can, python3:any")
# On a PC the interface runs on the simulated slots of ocelo-tools.
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS ${_pkg_cantools})
foreach(script postinst prerm)
  configure_file(${_pkgdir}/python3-ocelo.${script}.in ${CMAKE_BINARY_DIR}/packaging/python/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/python/postinst
                                              ${CMAKE_BINARY_DIR}/packaging/python/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "python-can interface for Ocelo CAN boards
The interface 'ocelo' lets python-can and the scripts, loggers and viewers
written against it use an Ocelo board: can.Bus(interface='ocelo',
channel=2, bitrate=500000), python3 -m can.logger -i ocelo -c 2.  On a PC
it runs on the simulated boards of the ocelo-tools package, on a controller
on the slot devices.")

include(CPack)
