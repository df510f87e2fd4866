#!/bin/bash
# Runs inside the container that scripts/nspawn-test.sh boots: installs the
# package and drives the service through systemd as an operator does. Every
# check is written to RESULT/log; RESULT/status says pass or fail.
set -u
result="${1:?usage: nspawn-inside.sh RESULT-FOLDER}"
log="$result/log"
: >"$log"
failed=0
say() { echo "$*" | tee -a "$log"; }
check() { # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@" >>"$log" 2>&1; then
    say "ok   $what"
  else
    say "FAIL $what"
    failed=1
  fi
}
finish() {
  if [ "$failed" -eq 0 ]; then echo pass >"$result/status"; else echo fail >"$result/status"; fi
}
trap finish EXIT

folder=/var/lib/velora-rbs
connects() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
healthy() { curl -sf "http://127.0.0.1:9100/health" | grep -q '"status": "ok"'; }
waits_for() { # waits_for SECONDS COMMAND...
  local until=$(($(date +%s) + $1))
  shift
  while ! "$@"; do
    [ "$(date +%s)" -lt "$until" ] || return 1
    sleep 0.2
  done
}
settings() { # settings PORT
  printf '%s\n' '<?xml version="1.0" encoding="iso-8859-1"?>' '<Configuration><Hoofdscherm>' \
    '<FormVersion>0</FormVersion><RBSActive_Checked>TRUE</RBSActive_Checked>' \
    "<RBSPoort_Text>$1</RBSPoort_Text><StatusPoort_Text>9100</StatusPoort_Text>" \
    '<TrackBar1_Position>abc</TrackBar1_Position>' '</Hoofdscherm></Configuration>' >"$folder/VeloraRBS.xml"
  chown velora-rbs:velora-rbs "$folder/VeloraRBS.xml"
  chmod 0640 "$folder/VeloraRBS.xml"
}

say "systemd $(systemctl --version | head -n 1 | cut -d' ' -f2) booted: $(systemctl is-system-running)"
check "the package installs" dpkg -i /velora-test/velora-rbs.deb
check "the unit is not enabled by the installation" test "$(systemctl is-enabled velora-rbs.service)" = disabled
check "the unit is not started by the installation" test "$(systemctl is-active velora-rbs.service)" = inactive
check "the program folder belongs to the service's user" test "$(stat -c %U:%a $folder)" = velora-rbs:750
check "the package brought none of the window's libraries" sh -c \
  '! dpkg-query -W -f="\${Status}\n" libqt6widgets6 libqt6gui6 qt6-qpa-plugins 2>/dev/null | grep -q "ok installed"'
check "without the window package a window start runs headless and says why" sh -c \
  'mkdir -p /tmp/windowless && QT_QPA_PLATFORM=offscreen timeout 3 VeloraRBS --dir /tmp/windowless 2>&1 >/dev/null |
   grep -q "no window: .* is not installed (package velora-rbs-window); running headless"'

settings 2100
# A booking system that connects as soon as the start returns is served, at
# every start.
for attempt in 1 2 3; do
  begun=$(date +%s%N)
  if systemctl start velora-rbs.service && connects 2100; then
    say "ok   start $attempt: the intake takes a connection as soon as systemctl start returns ($((($(date +%s%N) - begun) / 1000000)) ms)"
  else
    say "FAIL start $attempt: the intake refused a connection right after systemctl start returned"
    failed=1
  fi
  [ "$attempt" -eq 3 ] || systemctl stop velora-rbs.service
done
check "/health answers ok" waits_for 5 healthy
check "systemctl status shows the status line" sh -c 'systemctl status velora-rbs.service | grep -q "Status: \"listening on port 2100"'

# A packet that cannot be read: its failure line names the peer, at err,
# with the fields COMPONENT and PEER.
(exec 3<>/dev/tcp/127.0.0.1/2100 && printf '<RBS>ZZ<EINDE>\r\n' >&3 && sleep 1) 2>/dev/null
failure='[RBSLog] RBSServerSocket 127.0.0.1: List index out of bounds (0)'
check "the unreadable packet's failure is at err" waits_for 5 sh -c \
  "journalctl --sync; journalctl -u velora-rbs.service -p err -o cat | grep -qxF '$failure'"
check "its entry has COMPONENT and PEER" sh -c "journalctl --sync; journalctl -u velora-rbs.service -p err -o export |
  grep -a -A3 -B3 -F 'MESSAGE=$failure' | grep -q '^COMPONENT=RBSServerSocket' &&
  journalctl -u velora-rbs.service -p err -o export | grep -q '^PEER=127.0.0.1'"
check "it is counted as unreadable" sh -c \
  "curl -sf http://127.0.0.1:9100/metrics | grep -q '^velora_packets_received_total{type=\"unreadable\",reply=\"none\"} 1'"
check "the settings problem is at warning" sh -c \
  "journalctl --sync; journalctl -u velora-rbs.service -p warning..warning -o cat | grep -q 'TrackBar1_Position: \"abc\"'"
check "the intake's start line is at info, as the system writes it" sh -c \
  "journalctl -u velora-rbs.service -p info..info -o cat | grep -qE '^\[RBSLog\] [0-9-]+ [0-9:]+ RBS C/S ingeschakeld$'"
check "only failures are at err" sh -c \
  "! journalctl -u velora-rbs.service -p err -o cat | grep -vF '$failure' | grep -q ."

# Reload: the intake moves to the port the file names now.
settings 2101
check "systemctl reload returns" systemctl reload velora-rbs.service
check "after the reload the intake listens on the new port" waits_for 5 connects 2101
check "the reload is in the journal" sh -c "journalctl --sync; journalctl -u velora-rbs.service -o cat | grep -q 'read again (SIGHUP)'"

# Upgrade: a reinstallation restarts the service on the program just installed.
before="$(systemctl show -p MainPID --value velora-rbs.service)"
check "the package reinstalls" dpkg -i /velora-test/velora-rbs.deb
after="$(systemctl show -p MainPID --value velora-rbs.service)"
check "the reinstallation restarted the service (MainPID $before, then $after)" test "$after" != "$before" -a "$after" != 0
check "the service runs the installed program" sh -c "! readlink /proc/$after/exe | grep -q deleted"
check "the restarted service listens" waits_for 10 connects 2101

say "$(systemd-analyze security velora-rbs.service 2>/dev/null | grep 'Overall exposure level')"
check "the sandbox refused nothing the service tried" sh -c \
  "! journalctl -u velora-rbs.service -o cat | grep -qiE 'operation not permitted|bad system call|permission denied'"

# Stop: the close step runs to its end, well within the stop time-out.
begun=$(date +%s%N)
check "systemctl stop returns" systemctl stop velora-rbs.service
say "     the stop took $((($(date +%s%N) - begun) / 1000000)) ms"
check "the stop is clean (exit code 0, result success)" sh -c \
  'test "$(systemctl show -p ExecMainStatus --value velora-rbs.service)" = 0 &&
   test "$(systemctl show -p Result --value velora-rbs.service)" = success'
check "the activity log was saved at the stop" sh -c "ls $folder/RBS/*.TXT >/dev/null"
check "nothing was killed" sh -c "! journalctl -u velora-rbs.service -o cat | grep -qE 'SIGKILL|Killing process'"
check "the package removes" dpkg -r velora-rbs
check "the program folder stays after the removal" test -f "$folder/VeloraRBS.xml"
say "--- the service's journal, last lines"
journalctl -u velora-rbs.service --no-pager -o short-monotonic -n 40 >>"$log" 2>&1
