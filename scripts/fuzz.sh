#!/usr/bin/env bash
# Runs one fuzz target of tests/fuzz for a while: scripts/fuzz.sh TARGET SECONDS
# (for example scripts/fuzz.sh intake 3600). TARGET is the name after fuzz_;
# without arguments the targets are listed.
#
# The target is built in build-asan/ (clang, sanitizers, libFuzzer) unless
# FUZZ_NO_BUILD=1. It starts from its seed corpus tests/fuzz/corpus/TARGET,
# which it only reads; what it learns goes to build-asan/fuzz-corpus/TARGET
# and grows from run to run. A crash, a sanitizer report, a leak, a broken
# property or an input slower than FUZZ_TIMEOUT seconds (default 10) ends the
# run with a failure; the input is printed and kept in
# build-asan/fuzz-artifacts/TARGET/. Replay it with
#   build-asan/tests/fuzz/fuzz_TARGET FILE
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-asan"
source "$root/scripts/sanitizer-env.sh"

if [ $# -lt 1 ]; then
  echo "usage: scripts/fuzz.sh TARGET [SECONDS]; targets:" >&2
  find "$root/tests/fuzz" -maxdepth 1 -name 'fuzz_*.cpp' -printf '  %f\n' | sed 's/^  fuzz_/  /; s/\.cpp$//' | sort >&2
  exit 2
fi
target="$1"
seconds="${2:-60}"
[ -f "$root/tests/fuzz/fuzz_$target.cpp" ] || { echo "fuzz: no target $target (tests/fuzz/fuzz_$target.cpp)" >&2; exit 2; }

if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
  configure_sanitizer_build "$root" "$build"
  ninja -C "$build" -j"${JOBS:-2}" "fuzz_$target"
fi

work="$build/fuzz-corpus/$target"
artifacts="$build/fuzz-artifacts/$target"
mkdir -p "$work" "$artifacts"
options=(-max_total_time="$seconds" -timeout="${FUZZ_TIMEOUT:-10}" -rss_limit_mb=2048 -print_final_stats=1
  -artifact_prefix="$artifacts/")
[ -f "$root/tests/fuzz/$target.dict" ] && options+=(-dict="$root/tests/fuzz/$target.dict")

echo "== fuzz $target for $seconds s"
log="$build/fuzz-$target.log"
status=0
"$build/tests/fuzz/fuzz_$target" "${options[@]}" "$work" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
# The progress lines are many; the summary and any report are what count.
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "fuzz: $target FAILED (exit $status); the report:" >&2
  sed -n '/^==[0-9]*==\|^property broken\|runtime error\|ALARM\|^SUMMARY\|^INFO: a leak/,$p' "$log" | head -200 >&2
  for input in "$artifacts"/*; do
    [ -f "$input" ] || continue
    echo "fuzz: reproducing input $input ($(stat -c %s "$input") bytes):" >&2
    od -A d -c "$input" | head -40 >&2
  done
  exit "$status"
fi
