# CALMORA_SANITIZE takes a comma-separated list handed to -fsanitize=,
# for example "address,undefined" or "thread". It applies to every target
# of the project (libraries, tests, tools) so that instrumented code calls
# instrumented code; OpenCV itself stays uninstrumented.
set(CALMORA_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined or thread")
if(CALMORA_SANITIZE)
    message(STATUS "Calmora: building with -fsanitize=${CALMORA_SANITIZE}")
    add_compile_options(-fsanitize=${CALMORA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${CALMORA_SANITIZE})
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC's flow analysis misreads instrumented standard-library code
        # (std::function inside <regex>) as uninitialised; the plain build
        # keeps this warning.
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
endif()
