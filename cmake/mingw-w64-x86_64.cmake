# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain
# (apt-get install g++-mingw-w64-x86-64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVARLIX_TESTS=OFF
# or `make windows`. With the tests on, the library tests are built as
# Windows programs and run under wine (`make windows-test`); GoogleTest needs
# the posix thread model for that: -DVARLIX_MINGW_THREADS=posix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARLIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(VARLIX_MINGW_THREADS "" CACHE STRING "MinGW-w64 thread model: empty (the system's choice), win32 or posix")
set(VARLIX_MINGW_SUFFIX "")
if(VARLIX_MINGW_THREADS)
    set(VARLIX_MINGW_SUFFIX -${VARLIX_MINGW_THREADS})
endif()
set(CMAKE_C_COMPILER ${VARLIX_MINGW_TRIPLET}-gcc${VARLIX_MINGW_SUFFIX})
set(CMAKE_CXX_COMPILER ${VARLIX_MINGW_TRIPLET}-g++${VARLIX_MINGW_SUFFIX})
set(CMAKE_RC_COMPILER ${VARLIX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARLIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs must run on a machine without the MinGW runtime DLLs; the
# posix thread model would also need libwinpthread's, so it links everything in.
if(VARLIX_MINGW_THREADS STREQUAL "posix")
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
else()
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
endif()
