# Cross-compiles for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64).
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The test programs run under 64-bit Wine when wine64 is installed; Debian
# keeps its loader in Wine's library directory, off the PATH.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OSTRIK_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

find_program(OSTRIK_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(OSTRIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRIK_WINE})
endif()
