# cmake -P script, one of three checks of what the project installs:
#  - BUILD_DIR: install the build into a fresh prefix, build the consumer
#    there with find_package and with pkg-config, and run both;
#  - SOURCE_DIR: the same with the libraries first built shared, which must
#    show only their public interface;
#  - DEB: make the build's Debian package with cpack and inspect it (never
#    install it): each part where its ecosystem looks (GST, PYTHON, MAN: the
#    optional parts), and Depends from the libraries the programs link.
file(REMOVE_RECURSE ${WORK_DIR})
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE error)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}${error}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

if(DEB)
    run(${CMAKE_CPACK_COMMAND} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR})
    file(GLOB deb ${WORK_DIR}/calmora_*.deb)
    run(dpkg-deb -f ${deb} Depends)
    if(NOT out MATCHES "libopencv-core" OR (GST AND NOT out MATCHES "libgstreamer1.0-0"))
        message(FATAL_ERROR "Depends: ${out}")
    endif()
    run(dpkg-deb -c ${deb})
    foreach(wanted bin/calmora include/calmora/StabiliserExport.h ${LIBDIR}/libcalmora_stabiliser
            ${LIBDIR}/cmake/Calmora/CalmoraConfig.cmake ${LIBDIR}/pkgconfig/calmora.pc
            ${GST} ${PYTHON} ${MAN})
        if(NOT out MATCHES " [.]/usr/${wanted}")
            message(FATAL_ERROR "${deb} lacks /usr/${wanted}:\n${out}")
        endif()
    endforeach()
    return()
endif()

if(SOURCE_DIR)
    set(BUILD_DIR ${WORK_DIR}/libs)
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} -DBUILD_SHARED_LIBS=ON
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX}
        -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER} -DCALMORA_BUILD_TESTS=OFF -DCALMORA_BUILD_DEMO=OFF
        -DCALMORA_BUILD_TOOLS=OFF -DCALMORA_BUILD_PYTHON=OFF -DCALMORA_BUILD_GSTREAMER=OFF)
    cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
    run(${CMAKE_COMMAND} --build ${BUILD_DIR} -j ${cores})
    run(nm -DC --defined-only ${BUILD_DIR}/stabiliser/libcalmora_stabiliser.so.4)
    if(NOT out MATCHES "CalmoraOpenCv::stabilise" OR out MATCHES "FftEstimator")
        message(FATAL_ERROR "libcalmora_stabiliser.so.4 shows not just its interface:\n${out}")
    endif()
endif()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
if(PYTHON_PACKAGE AND NOT SOURCE_DIR)  # Python knows the package by its metadata
    file(GLOB_RECURSE init ${WORK_DIR}/prefix/__init__.py)  # calmora's, the only one
    get_filename_component(site ${init} DIRECTORY)
    get_filename_component(site ${site} DIRECTORY)
    run(${CMAKE_COMMAND} -E env PYTHONPATH=${site} /usr/bin/python3 -c
        "print(__import__('importlib.metadata').metadata.version('calmora'))")
    if(NOT out STREQUAL "${VERSION}\n")
        message(FATAL_ERROR "installed calmora's metadata says ${out}")
    endif()
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
# pkg-config, from the prefix's own calmora.pc
file(GLOB_RECURSE pc ${WORK_DIR}/prefix/calmora.pc)
get_filename_component(libdir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${libdir})
set(ENV{LD_LIBRARY_PATH} ${libdir}/..)
run(pkg-config --cflags --libs calmora)
separate_arguments(flags UNIX_COMMAND "${out}")
run(${CXX} -std=c++17 ${CONSUMER_DIR}/main.cpp ${flags} -o ${WORK_DIR}/consumer-pkg-config)
run(${WORK_DIR}/consumer-pkg-config)
