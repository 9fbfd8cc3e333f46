# calmora.pc, installed beside the CMake package, for builds that use
# pkg-config. Its prefix is the one the files are installed under, which
# `cmake --install --prefix` (or a package's staging) may choose after
# configuring: so the file is made in two steps, everything but the prefix
# now, the prefix at install time.
get_property(calmora_libraries GLOBAL PROPERTY CALMORA_LIBRARIES)
list(REVERSE calmora_libraries)  # each library before those it uses, for static links
list(TRANSFORM calmora_libraries PREPEND -l)
string(JOIN " " CALMORA_PC_LIBS ${calmora_libraries})
# Shared libraries name the OpenCV libraries they need themselves, and the
# headers still need OpenCV's flags, which Requires.private gives. Static
# ones name nothing, so a program must link OpenCV too.
if(BUILD_SHARED_LIBS)
    set(CALMORA_PC_REQUIRES Requires.private)
else()
    set(CALMORA_PC_REQUIRES Requires)
endif()
foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
        set(CALMORA_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
        set(CALMORA_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
endforeach()
set(CALMORA_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")  # filled in by the install step
set(pc ${PROJECT_BINARY_DIR}/pkgconfig/calmora.pc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/calmora.pc.in ${pc}.in @ONLY)
install(CODE "configure_file(\"${pc}.in\" \"${pc}\" @ONLY)")
install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
