# The install directories, included before any package search can set them: GNUInstallDirs,
# with Debian's multiarch library directory under /usr/local as well as under /usr. Both are on
# the loader's, pkg-config's and CMake's search paths there, and a package then installs its
# library where a local build does.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
        "Object code libraries (lib/<multiarch> on Debian)")
endif()
include(GNUInstallDirs)
