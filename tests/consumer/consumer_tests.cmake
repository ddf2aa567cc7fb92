# Consumer tests, included from tests/CMakeLists.txt: install this build into
# a scratch prefix (checking that exactly the expected files land there, that
# the static libraries export no name without the library's prefix, and that
# the shared one exports the public functions and nothing else), then build
# the programs of this folder against it: through find_package(varlix), the
# C++ ones against the static and the shared libraries and the C one against
# the shared; through pkg-config, the C++ ones against varlix-static and the
# C one, compiled as C99, against varlix; run them on the examples and
# compare their output with the installed tools'.
#
# The consumer is built with this build's compiler and flags, sanitizers
# included, because the installed static libraries carry their
# instrumentation with them.
if(NOT VARLIX_INSTALL)
    message(STATUS "consumer tests not registered: VARLIX_INSTALL is OFF")
    return()
endif()

set(consumer_dir ${PROJECT_BINARY_DIR}/consumer-test)
set(consumer_cxx_flags "${CMAKE_CXX_FLAGS}")
set(consumer_link_flags "${CMAKE_EXE_LINKER_FLAGS}")
if(VARLIX_SANITIZE)
    string(JOIN " " consumer_cxx_flags ${consumer_cxx_flags} ${VARLIX_SANITIZE_COMPILE_FLAGS})
    string(JOIN " " consumer_link_flags ${consumer_link_flags} ${VARLIX_SANITIZE_LINK_FLAGS})
endif()
find_program(VARLIX_PKG_CONFIG_EXECUTABLE NAMES pkg-config pkgconf)
# The C program is built by the C compiler of the C++ compiler's family.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    find_program(VARLIX_C_COMPILER NAMES clang cc)
else()
    find_program(VARLIX_C_COMPILER NAMES gcc cc)
endif()

set(lib ${CMAKE_INSTALL_LIBDIR})
set(consumer_expected_files)
foreach(program IN LISTS VARLIX_PROGRAMS)
    list(APPEND consumer_expected_files ${CMAKE_INSTALL_BINDIR}/${program}${CMAKE_EXECUTABLE_SUFFIX}
         ${CMAKE_INSTALL_MANDIR}/man1/${program}.1)
endforeach()
list(APPEND consumer_expected_files
    ${VARLIX_INSTALL_INCLUDEDIR}/archive/archive.h
    ${VARLIX_INSTALL_INCLUDEDIR}/cli/status.h
    ${VARLIX_INSTALL_INCLUDEDIR}/cli/version.h
    ${VARLIX_INSTALL_INCLUDEDIR}/varlix_version.h
    ${VARLIX_INSTALL_INCLUDEDIR}/varlix_api.h
    ${VARLIX_INSTALL_INCLUDEDIR}/explode/explode.h
    ${lib}/${CMAKE_STATIC_LIBRARY_PREFIX}varlix_archive${CMAKE_STATIC_LIBRARY_SUFFIX}
    ${lib}/${CMAKE_STATIC_LIBRARY_PREFIX}varlix_explode${CMAKE_STATIC_LIBRARY_SUFFIX}
    ${lib}/${CMAKE_STATIC_LIBRARY_PREFIX}varlix_status${CMAKE_STATIC_LIBRARY_SUFFIX}
    ${lib}/libvarlix.so ${lib}/libvarlix.so.${PROJECT_VERSION_MAJOR}
    ${lib}/libvarlix.so.${PROJECT_VERSION}
    ${lib}/cmake/varlix/varlixConfig.cmake
    ${lib}/cmake/varlix/varlixConfigVersion.cmake
    ${lib}/cmake/varlix/varlixTargets.cmake
    ${lib}/pkgconfig/varlix.pc
    ${lib}/pkgconfig/varlix-static.pc)

# The scripts read their settings from one file rather than from -D arguments,
# which would split the lists and flags.
set(consumer_settings ${consumer_dir}/settings.cmake)
set(consumer_settings_text "")
foreach(setting
        VARLIX_SOURCE_DIR=${PROJECT_SOURCE_DIR}
        VARLIX_BINARY_DIR=${PROJECT_BINARY_DIR}
        CONSUMER_DIR=${consumer_dir}
        PREFIX=${consumer_dir}/prefix
        LIBDIR=${CMAKE_INSTALL_LIBDIR}
        MANDIR=${CMAKE_INSTALL_MANDIR}
        INCLUDEDIR=${VARLIX_INSTALL_INCLUDEDIR}
        PROGRAMS=${VARLIX_PROGRAMS}
        BINDIR=${CMAKE_INSTALL_BINDIR}
        EXECUTABLE_SUFFIX=${CMAKE_EXECUTABLE_SUFFIX}
        VERSION=${PROJECT_VERSION}
        GENERATOR=${CMAKE_GENERATOR}
        CXX_COMPILER=${CMAKE_CXX_COMPILER}
        C_COMPILER=${VARLIX_C_COMPILER}
        CXX_FLAGS=${consumer_cxx_flags}
        LINK_FLAGS=${consumer_link_flags}
        PKG_CONFIG=${VARLIX_PKG_CONFIG_EXECUTABLE}
        NM=${CMAKE_NM})
    string(FIND "${setting}" "=" split)
    string(SUBSTRING "${setting}" 0 ${split} name)
    math(EXPR split "${split} + 1")
    string(SUBSTRING "${setting}" ${split} -1 value)
    string(APPEND consumer_settings_text "set(${name} [==[${value}]==])\n")
endforeach()
string(APPEND consumer_settings_text "set(EXPECTED_FILES [==[${consumer_expected_files}]==])\n")
file(WRITE ${consumer_settings} "${consumer_settings_text}")

add_test(NAME consumer.install
         COMMAND ${CMAKE_COMMAND} -DSETTINGS=${consumer_settings} -DCONFIG=$<CONFIG>
                 -P ${CMAKE_CURRENT_LIST_DIR}/install_into_prefix.cmake)
set_tests_properties(consumer.install PROPERTIES FIXTURES_SETUP varlix_installed
                     LABELS consumer TIMEOUT 120)

foreach(mode cmake pkg-config c)
    add_test(NAME consumer.${mode}
             COMMAND ${CMAKE_COMMAND} -DSETTINGS=${consumer_settings} -DCONFIG=$<CONFIG>
                     -DMODE=${mode} -P ${CMAKE_CURRENT_LIST_DIR}/build_and_run.cmake)
    set_tests_properties(consumer.${mode} PROPERTIES FIXTURES_REQUIRED varlix_installed
                         LABELS consumer TIMEOUT 300 SKIP_REGULAR_EXPRESSION "consumer test SKIPPED:")
endforeach()
