# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 toolchain.
set(MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# Wine runs the tests; Debian keeps its wine64 out of PATH unless the wine package is there.
find_program(WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE64})
