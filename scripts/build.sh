#!/usr/bin/env bash
# Configures and builds into build/ (Release). JOBS limits the parallel jobs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# ccache, when a developer has it, makes rebuilds of other checkouts cheap.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
ninja -C "$root/build" ${JOBS:+-j"$JOBS"}
