# cmake -DSETTINGS=<file> -DCONFIG=<config> -DMODE=cmake|pkg-config|c -P build_and_run.cmake
#
# Builds the programs of this folder against the installed prefix: by
# find_package(varlix) all three, by pkg-config the C++ ones against the
# static libraries, or (MODE c) the C one, as C99, against the shared
# library. Then checks what they do with the examples against the installed
# tools:
#  - the library extracts README.TXT byte for byte as `varlix` does, at the
#    length the listing gives, and the text is the demo's README;
#  - the decoder alone, given the offset and compressed size from the
#    listing, produces the same bytes;
#  - an unknown member gives the tool's exit code 5 and creates no file;
#  - the C program lists the example archive and disk set as varlix-unpack
#    does, and extracts a member of the set as varlix-unpack writes it.
cmake_policy(VERSION 3.20)
include(${SETTINGS})

set(work ${CONSUMER_DIR}/${MODE})
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
set(demo ${VARLIX_SOURCE_DIR}/examples/demo.z)
set(demo_set ${VARLIX_SOURCE_DIR}/examples/demo-set/DEMO.1)
set(source_dir ${VARLIX_SOURCE_DIR}/tests/consumer)
# The programs built against the shared library find it in the prefix.
set(ENV{LD_LIBRARY_PATH} ${PREFIX}/${LIBDIR})
set(extract_member "")
set(list_and_extract "")

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
                  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_TYPE=${CONFIG}
                  -DCMAKE_CXX_FLAGS=${CXX_FLAGS} -DCMAKE_C_FLAGS=${CXX_FLAGS}
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
    foreach(program extract_member decode_member list_and_extract)
        file(GLOB_RECURSE found ${work}/build/${program}${EXECUTABLE_SUFFIX})
        list(GET found 0 ${program})
    endforeach()
elseif(MODE STREQUAL "pkg-config")
    if(NOT PKG_CONFIG)
        message(STATUS "consumer test SKIPPED: no pkg-config on this machine")
        return()
    endif()
    set(ENV{PKG_CONFIG_PATH} ${PREFIX}/${LIBDIR}/pkgconfig)
    foreach(pc varlix varlix-static)
        run_expecting(0 ${PKG_CONFIG} --modversion ${pc})
        string(STRIP "${run_output}" pc_version)
        if(NOT pc_version STREQUAL VERSION)
            message(FATAL_ERROR "pkg-config reports ${pc} ${pc_version}, expected ${VERSION}")
        endif()
    endforeach()
    run_expecting(0 ${PKG_CONFIG} --cflags --libs varlix-static)
    separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
    separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
    separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
    foreach(program extract_member decode_member)
        set(${program} ${work}/${program}${EXECUTABLE_SUFFIX})
        run_expecting(0 ${CXX_COMPILER} -std=c++17 -Wall -Wextra -Wpedantic -Wconversion -Werror
                      ${cxx_flags} ${source_dir}/${program}.cc -o ${${program}} ${link_flags}
                      ${pc_flags})
    endforeach()
elseif(MODE STREQUAL "c")
    if(NOT PKG_CONFIG OR NOT C_COMPILER)
        message(STATUS "consumer test SKIPPED: no pkg-config or no C compiler on this machine")
        return()
    endif()
    set(ENV{PKG_CONFIG_PATH} ${PREFIX}/${LIBDIR}/pkgconfig)
    run_expecting(0 ${PKG_CONFIG} --cflags --libs varlix)
    separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
    separate_arguments(c_flags UNIX_COMMAND "${CXX_FLAGS}")
    separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
    set(list_and_extract ${work}/list_and_extract${EXECUTABLE_SUFFIX})
    run_expecting(0 ${C_COMPILER} -std=c99 -Wall -Wextra -Wpedantic -Werror ${c_flags}
                  ${source_dir}/list_and_extract.c -o ${list_and_extract} ${link_flags} ${pc_flags})
else()
    message(FATAL_ERROR "MODE must be cmake, pkg-config or c, not '${MODE}'")
endif()

# The C program's listing is varlix-unpack's paths and sizes; its extraction, varlix-unpack's file.
if(list_and_extract)
    set(unpack ${PREFIX}/${BINDIR}/varlix-unpack${EXECUTABLE_SUFFIX})
    foreach(archive ${demo} ${demo_set})
        run_expecting(0 ${list_and_extract} ${archive})
        set(listed "${run_output}")
        run_expecting(0 ${unpack} --list ${archive})
        string(REGEX MATCHALL "\n[^\n]* +([0-9]+) +[0-9]+ +[-0-9]+ +([^\n]+)" rows "${run_output}")
        set(expected "")
        foreach(row IN LISTS rows)
            string(REGEX REPLACE "^\n[^\n]* +([0-9]+) +[0-9]+ +[-0-9]+ +([^\n]+)$" "\\2 \\1 bytes\n"
                   line "${row}")
            string(REPLACE "/" "\\" line "${line}")
            string(REGEX REPLACE "[^ -~\n]+" "?" line "${line}")
            string(APPEND expected "${line}")
        endforeach()
        if(NOT listed STREQUAL expected)
            message(FATAL_ERROR "list_and_extract ${archive} printed\n${listed}expected\n${expected}")
        endif()
    endforeach()
    run_expecting(0 ${list_and_extract} ${demo_set} demo.hlp ${work}/by-c.hlp)
    if(NOT run_output MATCHES "demo.hlp: ok\n$")
        message(FATAL_ERROR "list_and_extract printed: ${run_output}")
    endif()
    run_expecting(0 ${unpack} -q -d ${work}/unpacked ${demo_set})
    run_expecting(0 ${CMAKE_COMMAND} -E compare_files ${work}/by-c.hlp
                  ${work}/unpacked/Program/Help/DEMO.HLP)
    message(STATUS "${MODE} consumer: the C program lists and extracts as varlix-unpack does")
endif()
if(NOT extract_member)
    return()
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
