#!/usr/bin/env bash
# Builds the Debian packages build/velora-rbs_<version>_<arch>.deb (the
# program /usr/bin/VeloraRBS, its systemd unit, the entries for its user and
# program folder) and build/velora-rbs-window_<version>_<arch>.deb (the
# window's module). Install them with
#   apt-get install ./build/velora-rbs_*.deb                # headless server
#   apt-get install ./build/velora-rbs*.deb                 # with the window
# JOBS limits the parallel jobs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The unit names the installed program by its full path, so the prefix is
# fixed here rather than left at CMake's /usr/local.
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  "${launcher[@]}" >/dev/null
ninja -C "$root/build" ${JOBS:+-j"$JOBS"} VeloraRBS velora-window velora_package_docs
cd "$root/build"
rm -f velora-rbs_*.deb velora-rbs-window_*.deb
cpack -G DEB
ls -1 "$root"/build/velora-rbs_*.deb "$root"/build/velora-rbs-window_*.deb
