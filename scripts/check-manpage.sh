#!/usr/bin/env bash
# The manual page VeloraRBS(8) against the README's "Command line" section
# and the program's own --help: every option the README's synopsis names is
# in both, every exit code of the README's table is in the page, and man
# renders the page without a warning. Usage: check-manpage.sh PROGRAM
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
program="${1:?usage: check-manpage.sh PATH-TO-VeloraRBS}"
page="$root/packaging/VeloraRBS.8"

section="$(awk '/^## Command line/{on=1; next} /^## /{on=0} on' "$root/README.md")"
options="$(awk '/^```/{n++; next} n==1' <<<"$section" | grep -oE -- '--[a-z-]+' | sort -u)"
[ -n "$options" ] || { echo "check-manpage: no options found in the README's Command line section" >&2; exit 1; }
help="$("$program" --help)"
# In roff a hyphen of an option is written \-.
roff="$(sed 's/\\-/-/g' "$page")"
status=0
for option in $options; do
  grep -qF -- "$option" <<<"$roff" || { echo "check-manpage: $option is not in $page" >&2; status=1; }
  grep -qF -- "$option" <<<"$help" || { echo "check-manpage: $option is not in VeloraRBS --help" >&2; status=1; }
done
codes="$(awk '/^Exit codes:/{on=1; next} on && /^\| [0-9]+ \|/{print $2} on && /^$/ && seen{exit} on && /^\|/{seen=1}' <<<"$section")"
[ -n "$codes" ] || { echo "check-manpage: no exit codes found in the README" >&2; exit 1; }
exit_status="$(awk '/^\.SH EXIT STATUS/{on=1; next} /^\.SH /{on=0} on' "$page")"
for code in $codes; do
  grep -qx "\.B $code" <<<"$exit_status" || { echo "check-manpage: exit code $code is not in EXIT STATUS" >&2; status=1; }
done
warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null || true)"
[ -z "$warnings" ] || { echo "check-manpage: man warns: $warnings" >&2; status=1; }
[ "$status" -eq 0 ] && echo "check-manpage: $(wc -w <<<"$options") options and exit codes $(echo $codes) agree"
exit "$status"
