# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain
# (apt-get install g++-mingw-w64-x86-64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVARLIX_TESTS=OFF
# or `make windows`. With the tests on, the library tests are built as
# Windows programs and run under wine (`make windows-test`).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARLIX_MINGW_TRIPLET x86_64-w64-mingw32)
# The POSIX thread model: with the win32 one, GCC 12's libstdc++ has no
# std::mutex or std::condition_variable, which varlix-unpack's workers use.
set(CMAKE_C_COMPILER ${VARLIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARLIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VARLIX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARLIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs must run on a machine without the MinGW runtime DLLs, the
# thread library's (libwinpthread) included.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# varlix.dll too carries the C++ and thread runtimes in itself.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
