#!/usr/bin/env bash
# Builds everything and runs every test. JOBS limits the parallel jobs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure ${JOBS:+-j"$JOBS"}
