# What the two MinGW-w64 toolchain files share; each sets OSTRIK_MINGW_PREFIX
# (the compiler's target triplet) and CMAKE_SYSTEM_PROCESSOR, then includes
# this file.
set(CMAKE_SYSTEM_NAME Windows)

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

# No C++, GCC or winpthread runtime DLLs beside the programs: every library
# that has a static form is linked in, so only system DLLs are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
