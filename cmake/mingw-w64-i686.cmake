# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 toolchain.
set(MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# wine32 runs the tests, in an i386 root under qemu-i386 (tests/windows/wine32.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine32.sh)
