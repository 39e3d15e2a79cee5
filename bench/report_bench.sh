#!/bin/sh
# Report speed on a large repository: qxadmin report top over all time and over the last hour,
# against a plain scan of the history (sqlite3 summing one column of every row) as the baseline.
#
#   bench/report_bench.sh [BUILD_DIR=build] [ROWS=10000000] [STATEMENTS=50000] [FILE]
#
# FILE (default: a temporary one, removed after) is made by build/qxgenrepo when it does not
# exist; an existing FILE is reused, so repeated runs skip the minute the generator takes.
# Needs the built qxadmin and qxgenrepo, and sqlite3. Targets: all time within 10 s, one hour
# within 1 s.
set -eu
build=$(cd "${1:-build}" && pwd)
rows=${2:-10000000}
statements=${3:-50000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file=${4:-$work/repo.db}

now() { date +%s.%N; }
took() { awk "BEGIN { print $2 - $1 }"; }
ratio() { awk "BEGIN { print $1 / $2 }"; }

if [ ! -e "$file" ]; then
  "$build/qxgenrepo" "$file" --rows "$rows" --statements "$statements" --days 30
fi
count=$(sqlite3 "$file" "select count(*) from qx_client_sql_history")

t0=$(now)
sqlite3 "$file" "select sum(exec_time) from qx_client_sql_history" >/dev/null
t1=$(now)
"$build/qxadmin" -r "sqlite:$file" report top >/dev/null
t2=$(now)
"$build/qxadmin" -r "sqlite:$file" report top --since 1h >/dev/null
t3=$(now)
"$build/qxadmin" -r "sqlite:$file" report top --by fingerprint --since 1h >/dev/null
t4=$(now)

base=$(took "$t0" "$t1")
all=$(took "$t1" "$t2")
hour=$(took "$t2" "$t3")
fphour=$(took "$t3" "$t4")
printf '%s history rows\n' "$count"
printf '%-40s %8.2f s  %6.2f x baseline\n' "baseline: sqlite3 sum of one column" "$base" 1
printf '%-40s %8.2f s  %6.2f x baseline  (target 10 s)\n' "report top, all time" "$all" "$(ratio "$all" "$base")"
printf '%-40s %8.2f s  %6.2f x baseline  (target 1 s)\n' "report top --since 1h" "$hour" "$(ratio "$hour" "$base")"
printf '%-40s %8.2f s  %6.2f x baseline\n' "report top --by fingerprint --since 1h" "$fphour" "$(ratio "$fphour" "$base")"
