# cmake -DSETTINGS=<file> -DCONFIG=<config> -DMODE=cmake|pkg-config -P build_and_run.cmake
#
# Builds extract_member and decode_member against the installed prefix, by
# find_package(varlix) or by pkg-config, and checks what they do with
# examples/demo.z against the installed tool:
#  - the library extracts README.TXT byte for byte as `varlix` does, at the
#    length the listing gives, and the text is the demo's README;
#  - the decoder alone, given the offset and compressed size from the
#    listing, produces the same bytes;
#  - an unknown member gives the tool's exit code 5 and creates no file.
cmake_policy(VERSION 3.20)
include(${SETTINGS})

set(work ${CONSUMER_DIR}/${MODE})
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
set(demo ${VARLIX_SOURCE_DIR}/examples/demo.z)
set(source_dir ${VARLIX_SOURCE_DIR}/tests/consumer)

# Runs a command; fails the test unless it exits with @expected. Leaves its
# standard output in run_output.
function(run_expecting expected)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                    ERROR_VARIABLE errors)
    if(NOT "${result}" STREQUAL "${expected}")
        message(FATAL_ERROR "${ARGN}\nexited with ${result}, expected ${expected}\n"
                            "stdout: ${output}\nstderr: ${errors}")
    endif()
    set(run_output "${output}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "cmake")
    run_expecting(0 ${CMAKE_COMMAND} -S ${source_dir} -B ${work}/build -G ${GENERATOR}
                  -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
                  -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_CXX_FLAGS=${CXX_FLAGS}
                  -DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS} -DVARLIX_EXPECTED_VERSION=${VERSION})
    # A varlix installed elsewhere on the machine must not be what was found.
    file(STRINGS ${work}/build/CMakeCache.txt found_dir REGEX "^varlix_DIR:")
    if(NOT found_dir STREQUAL "varlix_DIR:PATH=${PREFIX}/${LIBDIR}/cmake/varlix")
        message(FATAL_ERROR "find_package(varlix) found the wrong package: ${found_dir}")
    endif()
    set(config_args)
    if(CONFIG)
        set(config_args --config ${CONFIG})
    endif()
    run_expecting(0 ${CMAKE_COMMAND} --build ${work}/build ${config_args})
    foreach(program extract_member decode_member)
        file(GLOB_RECURSE found ${work}/build/${program}${EXECUTABLE_SUFFIX})
        list(GET found 0 ${program})
    endforeach()
elseif(MODE STREQUAL "pkg-config")
    if(NOT PKG_CONFIG)
        message(STATUS "consumer test SKIPPED: no pkg-config on this machine")
        return()
    endif()
    set(ENV{PKG_CONFIG_PATH} ${PREFIX}/${LIBDIR}/pkgconfig)
    run_expecting(0 ${PKG_CONFIG} --modversion varlix)
    string(STRIP "${run_output}" pc_version)
    if(NOT pc_version STREQUAL VERSION)
        message(FATAL_ERROR "pkg-config reports version ${pc_version}, expected ${VERSION}")
    endif()
    run_expecting(0 ${PKG_CONFIG} --cflags --libs varlix)
    separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
    separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
    separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
    foreach(program extract_member decode_member)
        set(${program} ${work}/${program}${EXECUTABLE_SUFFIX})
        run_expecting(0 ${CXX_COMPILER} -std=c++17 -Wall -Wextra -Wpedantic -Wconversion -Werror
                      ${cxx_flags} ${source_dir}/${program}.cc -o ${${program}} ${link_flags}
                      ${pc_flags})
    endforeach()
else()
    message(FATAL_ERROR "MODE must be cmake or pkg-config, not '${MODE}'")
endif()

set(varlix ${PREFIX}/${BINDIR}/varlix${EXECUTABLE_SUFFIX})
run_expecting(0 ${varlix} --list ${demo})
if(NOT run_output MATCHES "\n  README\\.TXT +offset +([0-9]+) +compressed +([0-9]+) +expands to +([0-9]+)\n")
    message(FATAL_ERROR "README.TXT is not in the listing:\n${run_output}")
endif()
set(offset ${CMAKE_MATCH_1})
set(packed_size ${CMAKE_MATCH_2})
set(unpacked_size ${CMAKE_MATCH_3})

run_expecting(0 ${varlix} ${demo} README.TXT ${work}/by-tool.txt)
run_expecting(0 ${extract_member} ${demo} readme.txt ${work}/by-library.txt)
if(NOT run_output STREQUAL "readme.txt: ok\n")
    message(FATAL_ERROR "extract_member printed: ${run_output}")
endif()
run_expecting(0 ${decode_member} ${demo} ${offset} ${packed_size} ${work}/by-decoder.txt)

file(SIZE ${work}/by-library.txt size)
if(NOT size EQUAL unpacked_size)
    message(FATAL_ERROR "extracted ${size} bytes, the listing says ${unpacked_size}")
endif()
# Compared as hex: file(READ) in text form would not keep the \r.
string(HEX "VARLIX DEMO SETUP\r\n" title)
string(LENGTH "${title}" title_length)
math(EXPR title_length "${title_length} / 2")
file(READ ${work}/by-library.txt head LIMIT ${title_length} HEX)
if(NOT head STREQUAL title)
    message(FATAL_ERROR "README.TXT does not start with the demo's title line: ${head}")
endif()
foreach(other by-tool by-decoder)
    run_expecting(0 ${CMAKE_COMMAND} -E compare_files ${work}/by-library.txt ${work}/${other}.txt)
endforeach()

run_expecting(5 ${extract_member} ${demo} nosuch.txt ${work}/none.txt)
if(EXISTS ${work}/none.txt)
    message(FATAL_ERROR "a failed extraction left ${work}/none.txt behind")
endif()
message(STATUS "${MODE} consumer: README.TXT, ${size} bytes, same from the library, the tool and the decoder")
