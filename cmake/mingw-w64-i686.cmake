# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# The test programs run under Wine when wine is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(OSTRIK_MINGW_PREFIX i686-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# of GCC 12 lacks. Its winpthread library is linked in statically below.
set(CMAKE_C_COMPILER ${OSTRIK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTRIK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${OSTRIK_MINGW_PREFIX}-windres)
set(CMAKE_AR ${OSTRIK_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${OSTRIK_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${OSTRIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# C99 printf family (%zu, %lld) instead of the system runtime's own.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)

# Floating point in SSE registers, rounded to float and double as on x86-64:
# the x87 unit would keep excess precision where the module rounds a value
# to single precision on purpose (the CPU-share denominator). Every CPU that
# runs a supported 32-bit Windows has SSE2.
add_compile_options(-msse2 -mfpmath=sse)

# No C++, GCC or winpthread runtime DLLs beside the programs: every library
# that has a static form is linked in, so only system DLLs are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(OSTRIK_WINE NAMES wine)
if(OSTRIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTRIK_WINE})
endif()
