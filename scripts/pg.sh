#!/usr/bin/env bash
# A throwaway PostgreSQL server with the dispatch tables, for trying the
# service or a benchmark against a live server through ODBC:
#
#   scripts/pg.sh                 starts it and waits; Ctrl-C stops and removes it
#   scripts/pg.sh -- COMMAND...   runs COMMAND with ODBCSYSINI/ODBCINI naming the
#                                 data source (VELORA_PG_DSN, VELORA_PG_USER and
#                                 VELORA_PG_PASSWORD say how to log in), then
#                                 stops and removes the server
#   scripts/pg.sh --fast ...      without fsync (as the tests run it)
#
# initdb makes the cluster in a temporary folder, pg_ctl starts it on a free
# loopback port (as user postgres when run as root: PostgreSQL refuses root),
# and an odbc.ini/odbcinst.ini of its own names psqlODBC's Unicode driver. The
# tests start the same server themselves (tests/support/PostgresCluster).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$build" pg_cluster >/dev/null
exec "$build/tests/pg_cluster" "$@"
