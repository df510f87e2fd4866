#!/usr/bin/env bash
# Configures and builds into build/ (Release). JOBS limits the parallel jobs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$root/build" ${JOBS:+-j"$JOBS"}
