#!/usr/bin/env bash
# Checks the alert rules and the dashboard shipped in packaging/monitoring
# against the service itself: promtool accepts the rules and their test
# cases, the dashboard is valid JSON, the service's /metrics passes
# "promtool check metrics", and every metric the rules and the dashboard
# name is one the service gives. Usage: check-monitoring.sh PROGRAM
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
program="${1:?usage: check-monitoring.sh PATH-TO-VeloraRBS}"
monitoring="$root/packaging/monitoring"
if ! command -v promtool >/dev/null; then
  echo "check-monitoring: promtool is missing (Debian package prometheus; scripts/setup.sh installs it)" >&2
  exit 1
fi

promtool check rules "$monitoring/velora-rbs.rules.yml"
(cd "$monitoring" && promtool test rules velora-rbs.rules.test.yml)
python3 -m json.tool "$monitoring/velora-rbs-dashboard.json" >/dev/null

folder="$(mktemp -d)"
service=""
cleanup() {
  [ -n "$service" ] && kill "$service" 2>/dev/null && wait "$service" 2>/dev/null
  rm -rf "$folder"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
intake="$(free_port)"
status="$(free_port)"
cat >"$folder/VeloraRBS.xml" <<XML
<?xml version="1.0" encoding="iso-8859-1"?>
<Configuration><Hoofdscherm><FormVersion>0</FormVersion><RBSActive_Checked>TRUE</RBSActive_Checked>
<RBSPoort_Text>$intake</RBSPoort_Text><StatusPoort_Text>$status</StatusPoort_Text></Hoofdscherm></Configuration>
XML
"$program" --headless --dir "$folder" >"$folder/out.log" 2>&1 &
service=$!
metrics=""
for _ in $(seq 100); do
  # Once the intake listens every family has its series, the handling
  # times included.
  if metrics="$(curl -sf "http://127.0.0.1:$status/metrics")" && grep -q '^velora_intake_listening 1' <<<"$metrics"; then
    break
  fi
  sleep 0.1
done
grep -q '^velora_intake_listening 1' <<<"$metrics" || {
  echo "check-monitoring: the service did not come up:" >&2
  cat "$folder/out.log" >&2
  exit 1
}
promtool check metrics <<<"$metrics"

missing=0
for name in $(grep -ohE '\b(velora|process)_[a-z_]+' "$monitoring/velora-rbs.rules.yml" \
  "$monitoring/velora-rbs-dashboard.json" | sort -u); do
  # A family is there once declared: a counter with labels has no series
  # before its first count.
  family="${name%_bucket}"
  if ! grep -qE "^# TYPE $family " <<<"$metrics"; then
    echo "check-monitoring: $name is used by the rules or the dashboard but not given by /metrics" >&2
    missing=1
  fi
done
[ "$missing" -eq 0 ]
echo "check-monitoring: rules, their tests, the dashboard and /metrics agree"
