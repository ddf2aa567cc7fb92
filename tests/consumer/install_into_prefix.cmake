# cmake -DSETTINGS=<file> -DCONFIG=<config> -P install_into_prefix.cmake
#
# Installs the build into a fresh scratch prefix and fails unless the prefix
# then holds exactly the expected files: nothing missing, and no internal
# header, development tool or test that slipped in. The installed header and
# man pages must name the version being installed. Each installed library
# must export only explode() or names with the arc_ prefix: a helper without
# it, or a test-only decoder, is not part of what users link.
cmake_policy(VERSION 3.20)
include(${SETTINGS})

file(REMOVE_RECURSE ${PREFIX})
set(config_args)
if(CONFIG)
    set(config_args --config ${CONFIG})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${VARLIX_BINARY_DIR} --prefix ${PREFIX}
                        ${config_args}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install into ${PREFIX} failed: ${result}")
endif()

file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
set(missing)
foreach(file IN LISTS EXPECTED_FILES)
    if(NOT file IN_LIST installed)
        list(APPEND missing ${file})
    endif()
endforeach()
set(unexpected)
foreach(file IN LISTS installed)
    # One per-configuration targets file is written beside varlixTargets.cmake.
    if(NOT file IN_LIST EXPECTED_FILES AND NOT file MATCHES "/cmake/varlix/varlixTargets-[a-z]*\\.cmake$")
        list(APPEND unexpected ${file})
    endif()
endforeach()

list(SORT installed)
string(REPLACE ";" "\n  " listing "${installed}")
message(STATUS "installed into ${PREFIX}:\n  ${listing}")
if(missing OR unexpected)
    message(FATAL_ERROR "install layout is wrong\n  missing: ${missing}\n  unexpected: ${unexpected}")
endif()

file(STRINGS ${PREFIX}/${INCLUDEDIR}/varlix_version.h version_line REGEX "^#define VARLIX_VERSION ")
if(NOT version_line STREQUAL "#define VARLIX_VERSION \"${VERSION}\"")
    message(FATAL_ERROR "varlix_version.h does not give version ${VERSION}: ${version_line}")
endif()
foreach(program IN LISTS PROGRAMS)
    file(STRINGS ${PREFIX}/${MANDIR}/man1/${program}.1 th_line REGEX "^\\.TH ")
    if(NOT th_line MATCHES " \"${program} ${VERSION}\" ")
        message(FATAL_ERROR "${program}.1 does not give version ${VERSION}: ${th_line}")
    endif()
endforeach()

if(NOT NM)
    message(STATUS "exported names not checked: no nm on this machine")
    return()
endif()
foreach(file IN LISTS EXPECTED_FILES)
    if(NOT file MATCHES "varlix_[a-z]+\\.a$")
        continue()
    endif()
    execute_process(COMMAND ${NM} -g --defined-only -C ${PREFIX}/${file} RESULT_VARIABLE result
                    OUTPUT_VARIABLE symbols ERROR_VARIABLE errors)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${NM} ${file} failed: ${errors}")
    endif()
    # Strong definitions only: weak ones are the compiler's own (the
    # sanitizers' typeinfo, say), merged across objects.
    string(REGEX MATCHALL "[0-9a-fA-F]* [BDGRST] [^\n]*" defined "${symbols}")
    foreach(line IN LISTS defined)
        string(REGEX REPLACE "^[0-9a-fA-F]* [BDGRST] " "" name "${line}")
        # The public functions have C linkage; internal ones shared by the
        # library's files are C++ names, with their parameters.
        if(NOT name MATCHES "^(explode|arc_[a-z0-9_]+)(\\(|$)")
            message(FATAL_ERROR "${file} exports ${name}, which is not part of its interface")
        endif()
    endforeach()
endforeach()

# The shared library exports the functions the installed headers declare
# with VARLIX_API, and no other name.
set(declared)
file(GLOB_RECURSE headers ${PREFIX}/${INCLUDEDIR}/*.h)
foreach(header IN LISTS headers)
    file(READ ${header} text)
    string(REGEX MATCHALL "\nVARLIX_API [^(;]*[ *]([a-z_0-9]+)\\(" declarations "${text}")
    foreach(declaration IN LISTS declarations)
        string(REGEX REPLACE ".*[ *]([a-z_0-9]+)\\($" "\\1" name "${declaration}")
        list(APPEND declared ${name})
    endforeach()
endforeach()
execute_process(COMMAND ${NM} -D --defined-only ${PREFIX}/${LIBDIR}/libvarlix.so
                RESULT_VARIABLE result OUTPUT_VARIABLE symbols ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} -D libvarlix.so failed: ${errors}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]* [A-Z] [^\n]*" defined "${symbols}")
set(exported)
foreach(line IN LISTS defined)
    string(REGEX REPLACE "^[0-9a-fA-F]* [A-Z] " "" name "${line}")
    list(APPEND exported ${name})
endforeach()
list(SORT declared)
list(SORT exported)
if(NOT exported STREQUAL declared OR NOT declared)
    message(FATAL_ERROR "libvarlix.so exports\n  ${exported}\nits headers declare\n  ${declared}")
endif()
list(LENGTH exported count)
message(STATUS "libvarlix.so exports the ${count} functions its headers declare, and nothing else")

# Each installed header compiles on its own, as C99 and as C++17, strictly.
foreach(header IN LISTS headers)
    file(RELATIVE_PATH name ${PREFIX}/${INCLUDEDIR} ${header})
    file(WRITE ${CONSUMER_DIR}/one_header.c "#include \"${name}\"\nint main(void) { return 0; }\n")
    file(COPY_FILE ${CONSUMER_DIR}/one_header.c ${CONSUMER_DIR}/one_header.cc)
    foreach(language c cc)
        if(language STREQUAL "c" AND NOT C_COMPILER)
            continue()
        elseif(language STREQUAL "c")
            set(compile ${C_COMPILER} -std=c99)
        else()
            set(compile ${CXX_COMPILER} -std=c++17)
        endif()
        execute_process(COMMAND ${compile} -Wall -Wextra -Wpedantic -Werror -fsyntax-only
                                -I${PREFIX}/${INCLUDEDIR} ${CONSUMER_DIR}/one_header.${language}
                        RESULT_VARIABLE result ERROR_VARIABLE errors)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "${name} does not compile on its own as ${language}:\n${errors}")
        endif()
    endforeach()
endforeach()
list(LENGTH headers count)
message(STATUS "each of the ${count} installed headers compiles on its own as C99 and C++17")
