#!/usr/bin/env bash
# How near the intake comes to what the PostgreSQL server itself manages for
# the same rows: on one throwaway durable server (tests/pg_cluster, as
# scripts/pg.sh starts it), for each connection count N
#   - bench_intake_load sends P "NR" packets over N booking-system connections
#     to the intake, which stores them on the server through ODBC, and
#   - pgbench commits about P transactions of one packet's rows (the ride row,
#     its transaction row; bench/pgbench-nr.sql) over N connections of its own,
# and prints per N side by side: the service's packets/s, pgbench's
# transactions/s, their ratio, p50 and p99 of both in ms, and the CPU the
# service's thread spent per packet.
#
#   scripts/pg-compare.sh [--connections 1,8,64] [--packets 2000] [--rounds 1]
#                         [--script FILE]
#
# --script names another pgbench script of the same rows (to see what a
# different statement sequence costs the server); its rows are checked as well.
# --rounds R measures every N R times, the service and pgbench in turns, and
# ends with each column's median per N (the ratio there is that of the two
# medians).
#
# Nothing is built here: BUILD_DIR names the build that holds
# bench/bench_intake_load and tests/pg_cluster (default build/). Both are copied
# before the first run, so that a rebuild during the run does not mix two
# builds. VELORA_PG_BIN names the PostgreSQL programs, as for the tests
# (default: PostgreSQL 15's).
#
# Table sizes: before each measured load the two tables a packet writes are
# emptied (identities from 1 again) and a checkpoint is taken, so that neither
# side pays for the other's rows or WAL. The load program then stores a
# warm-up of its own before its measured packets; pgbench first commits as
# many warm-up transactions (counted from the rows the service's run left), so
# both measure from the same table size.
#
# pgbench reaches the server as the intake does, over TCP on 127.0.0.1 with a
# password, one connection per client for the whole run. As root, psql and
# pgbench run as user postgres, which owns the cluster (PostgreSQL refuses root).
#
# After each load the rows are counted: a run whose rows are missing, or whose
# transaction rows do not name their rides, or whose pgbench rows differ from
# the service's in a column that is the same for every packet, fails the
# script instead of printing a figure.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
pgbin=${VELORA_PG_BIN:-/usr/lib/postgresql/15/bin}

# The columns that differ from packet to packet; the rest of a pgbench row
# must equal the service's.
varying_columns='{pla_id,pla_temp,pla_txtext_vanaf,pla_tvtext_verwacht,pla_extern,pla_extern_ritnummer}'

die() {
  echo "pg-compare: $*" >&2
  exit 1
}

# Runs a command as the cluster's owner: user postgres when this is root.
as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

usage() {
  echo "usage: scripts/pg-compare.sh [--connections 1,8,64] [--packets 2000] [--rounds 1] [--script FILE]" >&2
  exit 2
}

positive() { [[ $1 =~ ^[1-9][0-9]*$ ]]; }

# ---------------------------------------------------------------------------
# Inside the cluster: pg_cluster runs this script again as its command, with
# PG_COMPARE_WORK naming the work folder of the outer run.
# ---------------------------------------------------------------------------

# psql as the cluster's owner on its unix socket; prints bare values.
sql() {
  as_server "$pgbin/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$cluster" -p "$port" -U velora -d dispatch -c "$1"
}

reset_tables() {
  sql "TRUNCATE planning, transacties RESTART IDENTITY" >/dev/null
  sql "CHECKPOINT" >/dev/null
}

# Checks the rows a run left: `expected` rides, each with exactly one
# transaction row naming it, and no transaction row naming no ride. Without
# `expected` (the service's run, whose warm-up the load program chooses) the
# load program's ride numbers tell: it numbers its packets from 1, so the
# rides must hold 1 to the highest number each once, and at least `least` of
# them. Prints the ride count.
check_rows() {
  local who=$1 expected=$2 least=$3 found rides transactions unpaired numbers highest
  found=$(sql "SELECT (SELECT count(*) FROM planning), (SELECT count(*) FROM transacties),
                  (SELECT count(*) FROM planning p
                     FULL JOIN (SELECT tra_rit, count(*) AS n FROM transacties GROUP BY tra_rit) t ON t.tra_rit = p.pla_id
                   WHERE p.pla_id IS NULL OR t.n IS DISTINCT FROM 1),
                  (SELECT count(DISTINCT pla_extern) FROM planning WHERE pla_extern >= 1),
                  (SELECT coalesce(max(pla_extern), 0) FROM planning)")
  IFS='|' read -r rides transactions unpaired numbers highest <<<"$found"
  if [ "$transactions" -ne "$rides" ] || [ "$unpaired" -ne 0 ]; then
    die "$who: $rides ride rows and $transactions transaction rows, $unpaired of them not paired one to one"
  fi
  if [ -n "$expected" ]; then
    [ "$rides" -eq "$expected" ] || die "$who: $rides ride rows stored, $expected expected"
  else
    if [ "$numbers" -ne "$rides" ] || [ "$highest" -ne "$rides" ]; then
      die "$who: $rides ride rows for the load program's rides 1 to $highest ($numbers different numbers)"
    fi
    [ "$rides" -ge "$least" ] || die "$who: $rides ride rows stored, at least $least expected"
  fi
  echo "$rides"
}

# The last ride and its transaction row, one column a line as key=JSON value
# (so that a text with line breaks stays on one line), without the columns
# that differ per packet.
sample_rows() {
  sql "SELECT 'planning.' || key || '=' || value FROM planning p,
         jsonb_each(to_jsonb(p) - '$varying_columns'::text[])
       WHERE p.pla_id = (SELECT max(pla_id) FROM planning)
       UNION ALL
       SELECT 'transacties.' || key || '=' || value FROM transacties t, jsonb_each(to_jsonb(t) - 'tra_rit')
       WHERE t.tra_rit = (SELECT max(pla_id) FROM planning)
       ORDER BY 1"
}

# p50 and p99 in ms (the same ranks as bench_intake_load takes) of the
# per-transaction logs of one pgbench run: field 3 is the latency in µs.
log_percentiles() {
  cat "$@" | awk '$3 ~ /^[0-9]+$/ { print $3 }' | sort -n |
    awk '{ v[NR - 1] = $1 }
         END {
           if (NR == 0) exit 1
           p99 = int(NR * 99 / 100); if (p99 > NR - 1) p99 = NR - 1
           printf "%.2f %.2f %d\n", v[int(NR / 2)] / 1000, v[p99] / 1000, NR
         }'
}

# One line of the table: round, N, then the figures.
print_row() {
  awk -v label="$1" -v n="$2" -v svc="$3" -v tps="$4" -v sp50="$5" -v pp50="$6" -v sp99="$7" -v pp99="$8" -v cpu="$9" \
    -v smachine="${10}" -v pmachine="${11}" \
    'BEGIN { printf "%-6s %4d %12.1f %12.1f %6.2f %8.2f %8.2f %8.2f %8.2f %10.1f %8.0f %8.0f\n",
                    label, n, svc, tps, svc / tps, sp50, pp50, sp99, pp99, cpu, smachine, pmachine }'
}

# The whole machine's busy CPU time so far, in clock ticks (every process:
# the service or pgbench, their clients, the server's processes, the kernel).
# On a machine whose cores are all busy, a rate is bounded by this per
# packet, however the work is spread over connections.
machine_busy() {
  awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat
}

# Microseconds of machine CPU per unit between two readings of machine_busy.
per_unit_us() {
  awk -v from="$1" -v to="$2" -v units="$3" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.0f\n", (to - from) * 1000000 / hz / units }'
}

inside() {
  work=$PG_COMPARE_WORK
  cluster=$(dirname "$ODBCSYSINI")
  port=$(sed -n 's/^Port=//p' "$ODBCINI")
  [ -n "$port" ] || die "no port in $ODBCINI"
  # The outer run stops and removes the server itself if this run is cut off.
  echo "$cluster" >"$work/cluster"
  cd "$work"

  local max_connections
  max_connections=$(sql "SHOW max_connections")
  for n in "${counts[@]}"; do
    # The server keeps three connections for superusers; pgbench needs its N.
    [ "$n" -le $((max_connections - 3)) ] || die "N=$n: the server takes only $((max_connections - 3)) connections"
  done
  echo "server: $(sql "SELECT split_part(version(), ' ', 2)") on 127.0.0.1:$port," \
    "fsync $(sql "SHOW fsync"), synchronous_commit $(sql "SHOW synchronous_commit")," \
    "wal_sync_method $(sql "SHOW wal_sync_method")"
  echo "packets per run: $packets (pgbench: N clients of ceil($packets/N) transactions);" \
    "tables emptied and a checkpoint taken before each run; both sides measure after the same warm-up"
  # Other programs on the machine move the figures (a build on the same
  # cores delays every wake-up of the server and the service).
  echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

  # pgbench's password, in a file of the user that runs it.
  local pgpass="$work/pgbench/pgpass"
  printf '127.0.0.1:%s:dispatch:%s:%s\n' "$port" "$VELORA_PG_USER" \
    "$(printf '%s' "$VELORA_PG_PASSWORD" | sed 's/[\\:]/\\&/g')" >"$pgpass"
  chmod 600 "$pgpass"
  [ "$(id -u)" -ne 0 ] || chown postgres: "$pgpass"

  run_pgbench() {
    as_server env PGPASSFILE="$pgpass" "$pgbin/pgbench" -n -h 127.0.0.1 -p "$port" -U "$VELORA_PG_USER" \
      -f "$work/pgbench/nr.sql" -M prepared -D "now=$(date '+%Y-%m-%d %H:%M:%S.%3N')" "$@" dispatch
  }

  echo "machine CPU: every process on the machine, per stored row pair, over the whole run (start-up and warm-up included)"
  printf '%-6s %4s %12s %12s %6s %8s %8s %8s %8s %10s %8s %8s\n' round N "service/s" "pgbench tps" ratio \
    "svc p50" "pgb p50" "svc p99" "pgb p99" "svc CPU" "machine" "machine"
  printf '%-6s %4s %12s %12s %6s %8s %8s %8s %8s %10s %8s %8s\n' "" "" "packets/s" "trans/s" "" ms ms ms ms "us/packet" \
    "svc us" "pgb us"
  local result='^NR +N=([0-9]+) +([0-9.]+) packets/s +p50 +([0-9.]+) ms +p99 +([0-9.]+) ms +refused ([0-9]+) +service CPU +([0-9.]+) us/packet'
  local expected_sample=""
  for ((r = 1; r <= rounds; r++)); do
    for n in "${counts[@]}"; do
      # The service.
      reset_tables
      local out line busy_before smachine pmachine
      busy_before=$(machine_busy)
      if ! out=$("$work/bin/bench_intake_load" --dsn "$VELORA_PG_DSN" --user "$VELORA_PG_USER" \
        --password "$VELORA_PG_PASSWORD" --connections "$n" --packets "$packets" --memory-packets 0 \
        --dir "$work/bench" 2>"$work/bench.err"); then
        cat "$work/bench.err" >&2
        die "bench_intake_load failed (N=$n): $out"
      fi
      line=$(grep '^NR ' <<<"$out" || true)
      [[ $line =~ $result ]] || die "bench_intake_load printed no result line of the known form: $out"
      local svc=${BASH_REMATCH[2]} sp50=${BASH_REMATCH[3]} sp99=${BASH_REMATCH[4]} refused=${BASH_REMATCH[5]}
      local cpu=${BASH_REMATCH[6]}
      [ "$refused" -eq 0 ] || die "the service refused $refused of $packets packets (N=$n)"
      local rides warmup
      rides=$(check_rows "service (N=$n)" "" "$packets")
      smachine=$(per_unit_us "$busy_before" "$(machine_busy)" "$rides")
      warmup=$((rides - packets))
      [ -n "$expected_sample" ] || expected_sample=$(sample_rows)

      # pgbench: the same warm-up, then about the same number of transactions
      # (N clients of ceil(P/N) each).
      reset_tables
      local per=$(((packets + n - 1) / n)) jobs=$((n < 2 ? n : 2))
      busy_before=$(machine_busy)
      if [ "$warmup" -gt 0 ]; then
        run_pgbench -c 1 -j 1 -t "$warmup" >"$work/pgbench/warmup.out" 2>&1 ||
          die "pgbench warm-up failed: $(cat "$work/pgbench/warmup.out")"
      fi
      rm -f "$work"/pgbench/log.*
      if ! out=$(run_pgbench -c "$n" -j "$jobs" -t "$per" --log --log-prefix="$work/pgbench/log" 2>&1); then
        die "pgbench failed (N=$n): $out"
      fi
      local tps processed
      tps=$(sed -n 's/^tps = \([0-9.]*\) (without initial connection time)$/\1/p' <<<"$out")
      processed=$(sed -n 's/^number of transactions actually processed: \([0-9]*\)\/.*/\1/p' <<<"$out")
      if [ -z "$tps" ] || [ "$processed" != $((n * per)) ]; then
        die "pgbench did not commit all $((n * per)) transactions: $out"
      fi
      check_rows "pgbench (N=$n)" $((warmup + n * per)) 0 >/dev/null
      pmachine=$(per_unit_us "$busy_before" "$(machine_busy)" $((warmup + n * per)))
      local actual_sample
      actual_sample=$(sample_rows)
      if [ "$actual_sample" != "$expected_sample" ]; then
        die "pgbench's rows differ from the service's in: $(LC_ALL=C comm -3 <(LC_ALL=C sort <<<"$expected_sample") \
          <(LC_ALL=C sort <<<"$actual_sample") | sed 's/^\t//; s/=.*//' | sort -u | paste -sd' ')"
      fi
      local percentiles pp50 pp99 logged
      percentiles=$(log_percentiles "$work"/pgbench/log.*) || die "pgbench wrote no transaction log"
      read -r pp50 pp99 logged <<<"$percentiles"
      [ "$logged" -eq $((n * per)) ] || die "pgbench logged $logged of $((n * per)) transactions"

      print_row "$r" "$n" "$svc" "$tps" "$sp50" "$pp50" "$sp99" "$pp99" "$cpu" "$smachine" "$pmachine"
      echo "$n $svc $tps $sp50 $pp50 $sp99 $pp99 $cpu $smachine $pmachine" >>"$work/results"
    done
  done

  if [ "$rounds" -gt 1 ]; then
    for n in "${counts[@]}"; do
      local medians=()
      for column in 2 3 4 5 6 7 8 9 10; do
        medians+=("$(awk -v n="$n" -v c="$column" '$1 == n { print $c }' "$work/results" | sort -g |
          awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')")
      done
      print_row median "$n" "${medians[@]}"
    done
  fi
  echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# ---------------------------------------------------------------------------
# The options, then the cluster with this script inside it.
# ---------------------------------------------------------------------------

connections=1,8,64
packets=2000
rounds=1
script=$root/bench/pgbench-nr.sql
while [ $# -gt 0 ]; do
  case $1 in
  --connections | --packets | --rounds | --script)
    [ $# -ge 2 ] || usage
    declare "${1#--}=$2"
    shift 2
    ;;
  --connections=* | --packets=* | --rounds=* | --script=*)
    option=${1%%=*}
    declare "${option#--}=${1#*=}"
    shift
    ;;
  -h | --help) usage ;;
  *)
    echo "pg-compare: unknown option $1" >&2
    usage
    ;;
  esac
done
IFS=, read -r -a counts <<<"$connections"
[ ${#counts[@]} -gt 0 ] || usage
for n in "${counts[@]}"; do
  positive "$n" || { echo "pg-compare: --connections wants positive counts, not \"$connections\"" >&2; usage; }
done
positive "$packets" || { echo "pg-compare: --packets wants a positive count, not \"$packets\"" >&2; usage; }
positive "$rounds" || { echo "pg-compare: --rounds wants a positive count, not \"$rounds\"" >&2; usage; }

if [ -n "${PG_COMPARE_WORK:-}" ]; then
  inside
  exit 0
fi

build=${BUILD_DIR:-$root/build}
for program in "$build/bench/bench_intake_load" "$build/tests/pg_cluster"; do
  [ -x "$program" ] || die "$program is missing: build it first (ninja -C $build bench_intake_load pg_cluster), or name the build in BUILD_DIR"
done
for program in psql pgbench pg_ctl; do
  [ -x "$pgbin/$program" ] || die "$pgbin/$program is missing: install postgresql (scripts/setup.sh) or name the folder in VELORA_PG_BIN"
done
[ -r "$script" ] || die "the pgbench script $script cannot be read"
if [ "$(id -u)" -eq 0 ]; then
  id postgres >/dev/null 2>&1 || die "running as root, and there is no user postgres to run psql and pgbench as"
  command -v runuser >/dev/null || die "running as root, and runuser (util-linux) is missing"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/pg-compare-XXXXXX")
cluster_pid=""
# shellcheck disable=SC2317 # run by the traps
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  # Cut off (a signal, or a failure out here): pg_cluster, this script inside
  # it and the load programs form a session of their own, ended as one.
  if [ -n "$cluster_pid" ] && kill -0 "$cluster_pid" 2>/dev/null; then
    kill -TERM -- "-$cluster_pid" 2>/dev/null || true
    wait "$cluster_pid" 2>/dev/null || true
  fi
  # pg_cluster stops and removes its server when its command ends; ended
  # itself, it leaves both behind. The server runs in a session of its own.
  if [ -s "$work/cluster" ]; then
    local folder
    folder=$(cat "$work/cluster")
    if [[ $folder == */velora-pg-* ]] && [ -d "$folder/data" ]; then
      as_server "$pgbin/pg_ctl" -D "$folder/data" -m immediate -w -s stop >/dev/null 2>&1 || true
      rm -rf "$folder"
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mkdir -p "$work/bin" "$work/bench" "$work/pgbench"
cp "$build/bench/bench_intake_load" "$build/tests/pg_cluster" "$work/bin/" ||
  die "cannot copy the programs out of $build (being rebuilt? try again)"
cp "$script" "$work/pgbench/nr.sql"
if [ "$(id -u)" -eq 0 ]; then
  # psql and pgbench run as postgres: they need to pass the work folder and
  # write their logs into their own part of it.
  chmod 711 "$work"
  chown -R postgres: "$work/pgbench"
fi

# setsid: a session of its own, so that the cleanup can end it as a group and
# a Ctrl-C reaches this script first, not pg_cluster (which would die without
# stopping its server).
status=0
PG_COMPARE_WORK=$work setsid "$work/bin/pg_cluster" -- bash "$root/scripts/pg-compare.sh" \
  --connections "$connections" --packets "$packets" --rounds "$rounds" &
cluster_pid=$!
wait "$cluster_pid" || status=$?
cluster_pid=""
exit "$status"
