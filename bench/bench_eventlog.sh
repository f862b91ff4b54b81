#!/usr/bin/env bash
# The event log viewer over large logs: a store with one event written by
# tarnwick (a check of a closed loopback port, with /le), filled with the
# SQLite shell in one transaction to each size, then tarnwick-eventlog over
# it in the text and the JSON form. Prints the wall time and peak memory of
# each run.
#
# Usage: bench/bench_eventlog.sh [EVENTS...]   (default 1000 100000 1000000)
# Builds a Release build in build-bench/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sizes=("${@:-1000 100000 1000000}")
read -r -a sizes <<<"${sizes[*]}"
command -v sqlite3 >/dev/null || { echo "bench_eventlog: sqlite3 is needed" >&2; exit 1; }

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF \
      -DTARNWICK_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target tarnwick tarnwick-eventlog tw_bench_measure >/dev/null
measure="$build/bench/tw_bench_measure"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TARNWICK_ROOT="$work" TMPDIR="$work" TARNWICK_SYSLOG_SOCKET="$work/no-syslog"
"$build/cli/tarnwick" /le /checksum "http://127.0.0.1:9/" >/dev/null || true

printf '%-10s %-5s %10s %12s\n' events form seconds "peak KiB"
for n in "${sizes[@]}"; do
  sqlite3 "$work/eventlog.db" <<SQL
BEGIN;
WITH RECURSIVE n(i) AS (SELECT max(record) + 1 FROM events UNION ALL SELECT i + 1 FROM n WHERE i < $n)
INSERT INTO event_strings SELECT i, 1, 'http://127.0.0.1/page' || i FROM n;
WITH RECURSIVE n(i) AS (SELECT max(record) + 1 FROM events UNION ALL SELECT i + 1 FROM n WHERE i < $n)
INSERT INTO events SELECT i, 0, 'Harrowlights', 1, 1003, 4, NULL, 0 FROM n;
COMMIT;
SQL
  for form in text json; do
    args=()
    [ "$form" = json ] && args=(--json)
    read -r us kb status < <("$measure" "$build/tools/eventlog/tarnwick-eventlog" "${args[@]}")
    [ "$status" = 0 ] || { echo "bench_eventlog: the viewer ended with $status" >&2; exit 1; }
    awk -v n="$n" -v f="$form" -v us="$us" -v kb="$kb" 'BEGIN { printf "%-10s %-5s %10.2f %12s\n", n, f, us / 1e6, kb }'
  done
done
