#!/usr/bin/env bash
# What scripts/pg-compare.sh must get right besides its figures: it refuses bad
# options and missing programs before it starts anything, measures on a
# durable server, prints one row per round and N whose ratio is that of its
# own two rates, fails instead of printing a figure when pgbench's rows are not
# the service's, and leaves no server and no temporary file behind, also when
# it is stopped halfway. Runs the programs of the build in BUILD_DIR (ctest
# sets it) on a few packets; the figures themselves are not judged.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
script=$root/scripts/pg-compare.sh
build=${BUILD_DIR:-$root/build}

tmp=$(mktemp -d)
# The server's user (postgres, when this is root) must reach its cluster,
# which each run makes in its own folder in here.
chmod 755 "$tmp"
# The processes whose command line holds $1 (read from /proc: procps may be
# missing on a CI image).
processes_naming() {
  local process
  for process in /proc/[0-9]*; do
    [ "${process#/proc/}" != "$$" ] || continue
    if tr '\0' ' ' 2>/dev/null <"$process/cmdline" | grep -qF -- "$1"; then
      echo "${process#/proc/}: $(tr '\0' ' ' 2>/dev/null <"$process/cmdline" | cut -c1-160)"
    fi
  done
}

# Servers a failing run left running are stopped (by their process ids), so
# that a failure does not keep a server busy after the test.
stop_left_servers() {
  local pid
  for pid in $(processes_naming "-D $1/" | cut -d: -f1); do
    kill -QUIT "$pid" 2>/dev/null || true
  done
}
trap 'stop_left_servers "$tmp"; rm -rf "$tmp"' EXIT
failures=0
runs=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs the script with a temporary folder of its own (TMPDIR); `status` and
# `out` (stdout and stderr) say how it went. Checks that nothing is left in
# the folder and no process still names it.
run() {
  runs=$((runs + 1))
  dir=$tmp/run$runs
  mkdir -m 755 "$dir"
  status=0
  TMPDIR=$dir BUILD_DIR=${run_build:-$build} bash "$script" "$@" >"$dir.out" 2>&1 || status=$?
  out=$(cat "$dir.out")
  check_left_nothing "$*"
}

check_left_nothing() {
  local left
  left=$(find "$dir" -mindepth 1 -maxdepth 1 | head -5)
  [ -z "$left" ] || fail "$1: left behind: $left"
  left=$(processes_naming "$dir/")
  if [ -n "$left" ]; then
    fail "$1: processes still run in $dir: $left"
    stop_left_servers "$dir"
  fi
}

# --- refused before anything starts -----------------------------------------
for options in "--connections 0" "--connections 1,,8" "--connections eight" "--packets 0" "--packets -5" \
  "--rounds 1.5" "--packets" "--frobnicate"; do
  # shellcheck disable=SC2086 # the options are words
  run $options
  [ "$status" -eq 2 ] || fail "$options: status $status, 2 expected: $out"
  grep -q '^usage:' <<<"$out" || fail "$options: no usage line: $out"
done

mkdir "$tmp/empty-build"
run_build=$tmp/empty-build run --connections 1 --packets 10
[ "$status" -eq 1 ] || fail "missing programs: status $status, 1 expected: $out"
grep -q 'bench_intake_load is missing' <<<"$out" || fail "missing programs: not named: $out"

run --connections 1 --packets 10 --script "$tmp/no-such.sql"
[ "$status" -eq 1 ] || fail "missing pgbench script: status $status, 1 expected: $out"

if [ ! -x "$build/bench/bench_intake_load" ] || [ ! -x "$build/tests/pg_cluster" ]; then
  echo "FAIL: $build holds no bench_intake_load or pg_cluster: build them first" >&2
  exit 1
fi

# --- a real run: rows and their figures -------------------------------------
run --connections 1,3 --packets 40 --rounds 2
if [ "$status" -ne 0 ]; then
  fail "run: status $status: $out"
else
  grep -q 'fsync on, synchronous_commit on' <<<"$out" || fail "run: the server is not durable: $out"
  rows=$(grep -cE '^[12] +[13] ' <<<"$out" || true)
  [ "$rows" -eq 4 ] || fail "run: $rows rows for 2 rounds of N=1,3: $out"
  medians=$(grep -cE '^median +[13] ' <<<"$out" || true)
  [ "$medians" -eq 2 ] || fail "run: $medians median rows for N=1,3: $out"
  # round N service/s tps ratio svc-p50 pgb-p50 svc-p99 pgb-p99 cpu
  bad=$(grep -E '^([12]|median) ' <<<"$out" | awk '
    NF != 12 { print "fields: " $0; next }
    { for (i = 3; i <= 12; ++i) if (!($i > 0)) { print "not positive: " $0; next } }
    { d = $3 / $4 - $5; if (d > 0.006 || d < -0.006) print "ratio: " $0 }
    $6 > $8 || $7 > $9 { print "p50 above p99: " $0 }')
  [ -z "$bad" ] || fail "run: $bad"
fi

# --- pgbench rows that are not the service's --------------------------------
sed "s/^    'W', /    'X', /; s/'Contant'/'Pin'/" "$root/bench/pgbench-nr.sql" >"$tmp/other-rows.sql"
grep -q "^    'X', " "$tmp/other-rows.sql" || fail "the ride's status is no longer the first value of bench/pgbench-nr.sql"
run --connections 2 --packets 20 --script "$tmp/other-rows.sql"
[ "$status" -eq 1 ] || fail "other rows: status $status, 1 expected: $out"
grep -q "differ from the service's in: planning.pla_status transacties.tra_opmerking$" <<<"$out" ||
  fail "other rows: the columns are not named: $out"
! grep -qE '^1 +2 ' <<<"$out" || fail "other rows: a figure was printed: $out"

# A script that leaves out the transaction row commits fewer rows than the
# service: no figure for it either.
awk '/^INSERT INTO TRANSACTIES/ { skip = 1 } skip && /;$/ { skip = 0; next } !skip' \
  "$root/bench/pgbench-nr.sql" >"$tmp/no-transaction.sql"
! grep -q TRANSACTIES "$tmp/no-transaction.sql" || fail "the transaction row is no longer one statement of bench/pgbench-nr.sql"
run --connections 2 --packets 20 --script "$tmp/no-transaction.sql"
[ "$status" -eq 1 ] || fail "no transaction row: status $status, 1 expected: $out"
grep -q "pgbench (N=2): .* transaction rows, .* not paired one to one" <<<"$out" ||
  fail "no transaction row: not told: $out"
! grep -qE '^1 +2 ' <<<"$out" || fail "no transaction row: a figure was printed: $out"

# --- stopped halfway ----------------------------------------------------------
# With job control the script runs in a process group of its own and gets
# SIGINT as from a terminal (a background job without it ignores SIGINT).
set -m
for signal in TERM INT; do
  runs=$((runs + 1))
  dir=$tmp/run$runs
  mkdir -m 755 "$dir"
  TMPDIR=$dir BUILD_DIR=$build bash "$script" --connections 1 --packets 1000000 >"$dir.out" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    grep -q '^round' "$dir.out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^round' "$dir.out" || fail "$signal: the run did not start: $(cat "$dir.out")"
  sleep 1 # the service is storing now
  kill -"$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  case $signal in
  TERM) [ "$status" -eq 143 ] || fail "TERM: status $status, 143 expected: $(cat "$dir.out")" ;;
  INT) [ "$status" -eq 130 ] || fail "INT: status $status, 130 expected: $(cat "$dir.out")" ;;
  esac
  check_left_nothing "$signal"
done
set +m

if [ "$failures" -gt 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "pg-compare: all checks passed"
