# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# The test programs run under Wine when wine is installed.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(OSTRIK_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Floating point in SSE registers, rounded to float and double as on x86-64:
# the x87 unit would keep excess precision where the module rounds a value
# to single precision on purpose (the CPU-share denominator). Every CPU that
# runs a supported 32-bit Windows has SSE2.
add_compile_options(-msse2 -mfpmath=sse)

find_program(OSTRIK_WINE NAMES wine)
if(OSTRIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRIK_WINE})
endif()
