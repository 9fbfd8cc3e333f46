# The Debian package (`make package`, or cpack -G DEB in a build folder):
# whatever the install rules install, under /usr, with its Depends found by
# dpkg-shlibdeps from the programs' and libraries' own links.
set(CALMORA_MAINTAINER "Calmora developers <calmora@example.org>" CACHE STRING
    "Maintainer named in the Debian package")

# machine-readable copyright file, where Debian looks for a package's licence
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/calmora)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME calmora)
set(CPACK_PACKAGE_VENDOR Calmora)
set(CPACK_PACKAGE_CONTACT ${CALMORA_MAINTAINER})
set(CPACK_PACKAGE_HOMEPAGE_URL ${CALMORA_HOMEPAGE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "Calmora takes frames in thirteen pixel formats, measures the \
camera's motion between frames, smooths the camera path and moves each frame so that shake \
is removed while wanted motion stays, live, with a fixed lookahead or in two passes over a \
file. This package holds the command line calmora, the libraries with their headers, CMake \
package and pkg-config file, the Python package calmora and the GStreamer element calmorastab.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RPM_PACKAGE_LICENSE ${CALMORA_LICENSE_SPDX})
# The install rules of the Python module, the GStreamer plugin and
# calmora.pc read the prefix at install time, so the package is staged with
# DESTDIR and the real prefix, /usr, whatever prefix the build was
# configured with.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# the package's own shared libraries: an shlibs file, the ldconfig trigger,
# and dpkg-shlibdeps finds them in the staging folder
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "libopencv-dev, gstreamer1.0-tools, python3-matplotlib, python3-distributed")
if(TARGET calmora_python)
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-numpy)
endif()
include(CPack)
