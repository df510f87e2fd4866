#!/usr/bin/env bash
# The sanitizer build and the fuzzers, run by CI after the normal build.
#
# 1. Builds everything with clang into build-asan/ under AddressSanitizer,
#    LeakSanitizer and UndefinedBehaviorSanitizer (any undefined behaviour
#    ends the program), and runs every test there with ctest.
# 2. Runs each fuzz target of tests/fuzz for FUZZ_SECONDS (default 60) from
#    its seed corpus (scripts/fuzz.sh). A crash, a sanitizer report, a leak, a
#    broken property or a slow input fails the run and prints the input.
#
# JOBS limits the parallel jobs (default 2); FUZZ_SECONDS=0 skips step 2.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-asan"
jobs="${JOBS:-2}"
seconds="${FUZZ_SECONDS:-60}"
started=$SECONDS
source "$root/scripts/sanitizer-env.sh"

"$root/scripts/setup.sh"

echo "== sanitizer build (build-asan)"
configure_sanitizer_build "$root" "$build"
ninja -C "$build" -j"$jobs"
echo "sanitize: built after $((SECONDS - started)) s"

# A failing test does not keep the fuzzers from running, nor one fuzzer the
# next: one CI run reports every finding. The script fails at the end.
failed=()
echo "== every test under the sanitizers"
(cd "$build" && ctest --output-on-failure -j"$jobs") || failed+=(ctest)
echo "sanitize: tests done after $((SECONDS - started)) s"

if [ "$seconds" -gt 0 ]; then
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    target="$(basename "$source" .cpp)"
    FUZZ_NO_BUILD=1 "$root/scripts/fuzz.sh" "${target#fuzz_}" "$seconds" || failed+=("$target")
  done
fi
echo "sanitize: all done after $((SECONDS - started)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "sanitize: FAILED: ${failed[*]}" >&2
  exit 1
fi
