#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running the
# service need. Only missing packages are installed; a machine that has them
# all is left alone (no apt-get update, no root needed).
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build qt6-base-dev qt6-base-dev-tools libgl-dev libvulkan-dev
  # database drivers: embedded SQLite, SQL Server through ODBC and FreeTDS
  libqt6sql6-sqlite libsqlite3-dev libqt6sql6-odbc tdsodbc unixodbc-dev
  # the live server the tests run the database-facing tests on as well
  postgresql odbc-postgresql
  # HTTP client (distance service, update check); zlib for the package's CRC-32
  libcurl4-openssl-dev zlib1g-dev
  # the authorities https servers are verified against; openssl makes the
  # update test's throwaway certificate
  ca-certificates openssl
  # the status endpoint (/health, /metrics)
  qt6-httpserver-dev
  # coroutine task type for the work queue's jobs that wait
  qcoro-qt6-dev
  # systemd notifications (ready, watchdog, status); the X display probe
  libsystemd-dev libxcb1-dev
  # the Debian package (scripts/package.sh: cpack, dpkg-shlibdeps), its
  # checks (lintian, the manual page) and the test that boots it under
  # systemd (scripts/nspawn-test.sh)
  dpkg-dev file lintian man-db debootstrap systemd-container
  # promtool for the alert rules and /metrics (scripts/check-monitoring.sh)
  prometheus curl python3
  # platform plugins (offscreen for the window tests, xcb for a desktop)
  qt6-qpa-plugins
  # benchmarks, format check, window tests on a virtual display
  libbenchmark-dev clang-format xvfb xauth
  # the README's example of reading the embedded database
  sqlite3
  # the sanitizer build and the fuzzers (scripts/sanitize.sh, scripts/fuzz.sh)
  clang-14 libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "setup: these packages are missing and installing them needs root or sudo: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
