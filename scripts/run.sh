#!/usr/bin/env bash
# Builds the service and runs it on the program folder DIR:
#   scripts/run.sh DIR
# A new DIR gets a settings file with "Server activeren" checked, so that the
# intake server listens (port 2100) from the first run. Without a display the
# service runs headless; stop it with Ctrl+C or SIGTERM.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [ $# -lt 1 ]; then
  echo "usage: scripts/run.sh DIR [--headless]   (DIR: program folder for settings, logs and database)" >&2
  exit 2
fi
dir="$1"
shift

"$root/scripts/setup.sh"
"$root/scripts/build.sh"

mkdir -p "$dir"
if [ ! -e "$dir/VeloraRBS.xml" ]; then
  # Only what differs from the defaults; the service writes every other
  # setting into the file when it stops.
  cat >"$dir/VeloraRBS.xml" <<'XML'
<?xml version="1.0" encoding="iso-8859-1"?>
<Configuration>
  <Hoofdscherm>
    <FormVersion>0</FormVersion>
    <RBSActive_Checked>TRUE</RBSActive_Checked>
  </Hoofdscherm>
</Configuration>
XML
fi

# The program itself chooses: the window when a display is available,
# otherwise headless (and it says so on standard error).
exec "$root/build/src/VeloraRBS" --dir "$dir" "$@"
