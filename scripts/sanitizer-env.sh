# Shared by scripts/sanitize.sh and scripts/fuzz.sh: the sanitizer build's
# configuration and the run-time options of its programs. Sourced, not run.

# Qt and the system libraries are not instrumented. What they leak, or what
# only looks like a leak from outside them, is listed in lsan.supp beside this
# file, each entry with its reason. Undefined behaviour ends the program; the
# build already makes it unrecoverable, halt_on_error keeps it so at run time.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

# configure_sanitizer_build ROOT BUILD: clang, the sanitizers and the fuzz
# targets. -O1 keeps the stack traces faithful and the tests fast enough; line
# tables are all the reports need and cost far less to build than debug info.
configure_sanitizer_build() {
  local options=()
  command -v ccache >/dev/null && options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # The compiler is chosen once: naming it again in a configured folder, even
  # as another path to the same clang, makes CMake start that folder afresh.
  [ -f "$2/CMakeCache.txt" ] || options+=(-DCMAKE_CXX_COMPILER=clang++-14)
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" -DVELORA_FUZZ=ON -DVELORA_BUILD_BENCH=OFF \
    "${options[@]}" >/dev/null
}
