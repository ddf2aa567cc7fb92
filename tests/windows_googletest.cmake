# Cross-built for Windows, the library tests run as Windows programs under
# wine, with a GoogleTest built from its sources by the same compiler. The
# command-line tests are not built here: the native ones run varlix.exe
# instead (make windows-test does both).
set(VARLIX_GOOGLETEST_SOURCE /usr/src/googletest
    CACHE PATH "GoogleTest sources, built for the target when cross-compiling")
if(NOT EXISTS ${VARLIX_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "Windows tests need GoogleTest's sources in ${VARLIX_GOOGLETEST_SOURCE} "
                        "(apt-get install googletest), or VARLIX_TESTS=OFF")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VARLIX_GOOGLETEST_SOURCE} googletest EXCLUDE_FROM_ALL)
if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# Every test program, and its listing for test discovery, runs under wine, in
# a wine prefix of the build's own (set up on first use), never ~/.wine. The
# wrapper also keeps wine's own messages out of what the tests read and takes
# the CR out of the CR LF line ends the programs print.
find_program(VARLIX_WINE wine)
if(NOT VARLIX_WINE)
    message(FATAL_ERROR "Windows tests need wine to run (apt-get install wine), or VARLIX_TESTS=OFF")
endif()
set(VARLIX_WINEPREFIX ${PROJECT_BINARY_DIR}/wine-prefix
    CACHE PATH "The wine prefix the Windows tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tools/run_under_wine.sh --prefix
                                  ${VARLIX_WINEPREFIX})
