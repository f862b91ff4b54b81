#!/usr/bin/env bash
# Start-up cost: `tarnwick /version` and a check of a refused loopback port
# (http://127.0.0.1:9/, nothing listens there; exit code 2), against a
# static "hello" binary, the floor of starting any process. Runs the three
# in turn, ROUNDS times each, and prints the median wall time and the
# instructions each executes: from the CPU counter (`perf stat -e
# instructions:u`) where the machine has one, otherwise counted by valgrind
# (callgrind's Ir; user space only, the dynamic loader included).
#
# Usage: bench/bench_startup.sh [ROUNDS]   (default 200)
# Builds a Release build in build-bench/; TARNWICK_BIN=PATH times another
# tarnwick executable instead.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds=${1:-200}
command -v cc >/dev/null || { echo "bench_startup: a C compiler is needed" >&2; exit 1; }

# shellcheck source=bench/release_build.sh
source "$root/bench/release_build.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TARNWICK_ROOT="$work/state" TMPDIR="$work" TARNWICK_SYSLOG_SOCKET="$work/no-syslog"
printf '#include <unistd.h>\nint main(void) { return write(1, "hello\\n", 6) == 6 ? 0 : 1; }\n' >"$work/hello.c"
cc -O2 -static -o "$work/hello" "$work/hello.c"

names=(hello version refused)
commands=("$work/hello" "$tarnwick /version" "$tarnwick /lc /checksum http://127.0.0.1:9/")
expected=(0 0 2)
for ((i = 0; i < ${#names[@]}; i++)); do : >"$work/${names[i]}.times"; done
for ((r = 0; r < rounds; r++)); do
  for ((i = 0; i < ${#names[@]}; i++)); do
    # shellcheck disable=SC2086
    "$measure" ${commands[i]} >>"$work/${names[i]}.times"
  done
done
for ((i = 0; i < ${#names[@]}; i++)); do
  if awk -v e="${expected[i]}" '$3 != e { bad = 1 } END { exit !bad }' "$work/${names[i]}.times"; then
    echo "bench_startup: '${names[i]}' did not end with ${expected[i]}" >&2
    exit 1
  fi
done

# Instructions of one run of each.
counter=none
if command -v perf >/dev/null &&
   perf stat -x, -e instructions:u "$work/hello" 2>&1 >/dev/null | grep -q '^[0-9]'; then
  counter=perf
elif command -v valgrind >/dev/null; then
  counter=callgrind
fi
instructions() {
  case $counter in
    # The refused check ends with 2: only the counter's report matters here.
    perf) (perf stat -x, -e instructions:u "$@" 2>&1 >/dev/null || true) |
            awk -F, '/instructions/ { print $1 }' ;;
    callgrind) (valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null || true) |
                 awk '/Collected/ { print $4 }' ;;
    *) echo - ;;
  esac
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "start-up, $rounds runs each in turn, medians; instructions by $counter"
printf '%-36s %10s %10s %14s\n' run "wall ms" "peak KiB" instructions
labels=("static hello" "tarnwick /version" "tarnwick check, refused port")
for ((i = 0; i < ${#names[@]}; i++)); do
  wall=$(cut -d' ' -f1 "$work/${names[i]}.times" | median)
  rss=$(cut -d' ' -f2 "$work/${names[i]}.times" | median)
  # shellcheck disable=SC2086
  ins=$(instructions ${commands[i]})
  awk -v l="${labels[i]}" -v w="$wall" -v r="$rss" -v n="$ins" \
    'BEGIN { printf "%-36s %10.2f %10d %14s\n", l, w / 1000, r, n }'
done
