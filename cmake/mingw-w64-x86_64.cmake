# Cross build of the Windows programs (KARVO2.exe, KARVO.exe) with Debian's mingw-w64
# (g++-mingw-w64-x86-64):
#
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DKARVO_TESTS=OFF -DKARVO_BENCH=OFF
#
# The tests use POSIX calls and are not built for Windows; tests/windows runs the
# end-to-end cases with the .exe files under Wine instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KARVO_MINGW_PREFIX x86_64-w64-mingw32)
# The win32 thread model: the programs start no threads, and this variant's runtime
# needs no winpthreads library, not even linked in statically. Its libstdc++ has no
# std::thread before GCC 13, so code that starts threads fails to build here rather
# than quietly growing a dependency.
find_program(CMAKE_CXX_COMPILER NAMES ${KARVO_MINGW_PREFIX}-g++-win32 REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${KARVO_MINGW_PREFIX}-gcc-win32)
find_program(CMAKE_RC_COMPILER NAMES ${KARVO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KARVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything of the compiler's runtime is linked in: the .exe files need no DLL beside
# them, only the system's own (KERNEL32, msvcrt).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
