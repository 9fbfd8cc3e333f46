# The reference of the public headers: `cmake --build <build> --target docs`
# (or `make docs`) runs Doxygen into <build>/docs/html. A public declaration
# without a doc comment is an error, so the reference stays complete.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
    return()
endif()
get_property(calmora_headers GLOBAL PROPERTY CALMORA_PUBLIC_HEADERS)
get_property(calmora_macros GLOBAL PROPERTY CALMORA_EXPORT_MACROS)
string(JOIN " " CALMORA_DOC_INPUT ${calmora_headers})
# the export macros read as nothing: they only mark what a shared library shows
list(TRANSFORM calmora_macros APPEND "=")
string(JOIN " " CALMORA_DOC_PREDEFINED ${calmora_macros})
configure_file(${CMAKE_CURRENT_LIST_DIR}/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
add_custom_target(docs COMMAND Doxygen::doxygen ${PROJECT_BINARY_DIR}/Doxyfile
    COMMENT "Reference of the public headers in ${PROJECT_BINARY_DIR}/docs/html" VERBATIM)
