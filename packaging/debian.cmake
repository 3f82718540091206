# CPack settings for `cpack -G DEB`: four packages from the install components, their
# dependencies computed by dpkg-shlibdeps, and each package's copyright and changelog.
set(VORN_PACKAGE_MAINTAINER "vorn maintainers <maintainers@vorn.example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME vorn)
set(CPACK_PACKAGE_VENDOR "vorn")
set(CPACK_PACKAGE_VERSION ${VORN_PACKAGE_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT ${VORN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vorn.example.org/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The unit and vorn.pc are written at install time from the install prefix: with DESTDIR the
# prefix seen then is /usr, not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
# Descriptions: the synopsis, then the long text, which CPack indents for the control file.
set(CPACK_COMPONENTS_ALL runtime lib dev gui)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libvorn in the build tree; the dependency on libvorn1 is the component's.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvorn${VORN_SOVERSION})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# A shlibs file for the programs that others build against libvorn1, and the loader's cache
# refreshed by trigger (CPack adds its own ldconfig call as well).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "timing-board access library
libvorn reads and sets VORN timing boards: time of day and date, time-tagged
external events, heartbeat and match interrupts, synchronization and, on GPS
boards, position and satellites. It reaches the boards through the vornhost
daemon, or through a simulated board inside the calling program when no daemon
runs.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvorn-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_DEV_DESCRIPTION "timing-board access library - development files
The header, the link to the shared library, the pkg-config file (vorn.pc) and
the CMake package (find_package(vorn), target vorn::vorn) for building
programs against libvorn.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME vorn)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_RUNTIME_DEPENDS lib)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "timing-board driver host and command-line tools
vornhost serves the timing boards to client programs over a Unix socket and
comes with its systemd unit; members of group vorn may use it. vornctl reads
and sets every board function from the command line, and vornclock sets the
system clock from a board.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME vorngui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_GUI_DEPENDS lib)
set(CPACK_COMPONENT_GUI_DESCRIPTION "timing-board control utility (Qt)
vornGui chooses a timing board, or a demonstration board that needs no
hardware, and reads and sets every board function from its menus. It uses the
vornhost daemon of package vorn when one runs.")
set(CPACK_DEBIAN_GUI_PACKAGE_SUGGESTS vorn)

# Each package's /usr/share/doc/PACKAGE: the copyright and the Debian changelog, compressed.
# CPack installs component by component, which takes these; a plain `cmake --install` leaves
# them out.
foreach(component runtime lib dev gui)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(doc ${CMAKE_INSTALL_DATADIR}/doc/${package})
    install(FILES debian/copyright DESTINATION ${doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
    configure_file(debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog/${package}/changelog @ONLY)
    install(CODE "execute_process(COMMAND gzip -n -9 -f -k \"${CMAKE_CURRENT_BINARY_DIR}/changelog/${package}/changelog\")"
            COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog/${package}/changelog.gz
            DESTINATION ${doc} RENAME changelog.Debian.gz COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
