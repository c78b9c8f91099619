# Sourced by scripts/test.sh, scripts/fuzz.sh and scripts/test-windows.sh:
# how the test runs configure their builds.
#
#   configure_build BUILD-DIR [--cross] CMAKE-OPTIONS...
#
# On top of the options given, and of warnings as errors:
# - Ninja for a new build directory (an existing one keeps its generator);
# - ccache, where there is one, which keeps every build's objects for the
#   next run (the test programs' precompiled header included);
# - line tables as the only debug information (-g1): the sanitizers'
#   reports and a debugger's backtraces still name file and line, and
#   compiling and linking take less time than with full debug information;
# - LLVM's linker for the native builds (not --cross) where it is
#   installed: it links the test programs in a fraction of the time.
# CMake's output goes to /dev/null; its errors still show.
configure_build() {
  local dir=$1 cross=0
  shift
  if [[ "${1:-}" == --cross ]]; then
    cross=1
    shift
  fi
  local options=(-DOSTRIK_WERROR=ON)
  [[ -f "$dir/CMakeCache.txt" ]] || ! command -v ninja >/dev/null || options+=(-G Ninja)
  if command -v ccache >/dev/null; then
    options+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # Without these ccache compiles every file that uses a precompiled
    # header again, to be sure of macros and times that the header cannot
    # hold here.
    export CCACHE_SLOPPINESS=pch_defines,time_macros
  fi
  local language
  for language in C CXX; do
    options+=("-DCMAKE_${language}_FLAGS_DEBUG=-g1"
      "-DCMAKE_${language}_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
  done
  if ((!cross)) && command -v ld.lld >/dev/null; then
    local kind
    for kind in EXE SHARED MODULE; do
      options+=("-DCMAKE_${kind}_LINKER_FLAGS=-fuse-ld=lld")
    done
  fi
  cmake -S . -B "$dir" "${options[@]}" "$@" >/dev/null
}
