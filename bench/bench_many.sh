#!/usr/bin/env bash
# Many checks per second: 1,000 checks of 2 KiB pages (URLS pages on the
# loopback nginx, ROUNDS rounds), two at a time (xargs -P 2), all on one
# TARNWICK_ROOT with /le /checksum, against the curl pipeline that keeps
# each page's checksum in a file of its own. The sides alternate (the order
# reversed every repetition). xargs starts each check itself, as a
# scheduler that runs a command line without a shell does; the pipeline
# needs its sh. A side counts only if every check ended with 0 (xargs ends
# with 0 only then), tarnwick kept one checksum per page and logged one
# event per check, and the pipeline kept the right digest of every page.
#
# Further sides: tarnwick_sh (each check through sh -c, as cron starts a
# command), no_log (without /le) and fetch (a search, /t "*": the fetch
# alone, no store), whose differences give the cost per check of the event
# log and of the checksum store; floor (tw_bench_floor: the same check with
# nothing but its probe, GET, temporary file, SHA-256 and two SQLite stores,
# linked as tarnwick is: the least such a check costs here); floor_static
# (the same with the C++ runtime and SQLite linked statically, where
# Debian's static SQLite is installed); exec (xargs starting /bin/true:
# process creation alone).
#
# Prints, per side: the median wall time of the 1,000 checks, checks per
# second, CPU (user + system of all processes) per check, and the ratios.
#
# Usage: bench/bench_many.sh [REPETITIONS [URLS [ROUNDS]]]   (defaults 3 200 5)
# BENCH_ONLY=REGEX runs only the sides whose names match.
# Builds a Release build in build-bench/; TARNWICK_BIN=PATH times another
# tarnwick executable instead (an earlier revision's, say). Events go to the store only: the
# syslog mirror is pointed at a socket nobody listens on.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
reps=${1:-3}
urls=${2:-200}
rounds=${3:-5}

command -v curl >/dev/null || { echo "bench_many: curl is needed" >&2; exit 1; }
command -v nginx >/dev/null || { echo "bench_many: nginx is needed (nginx-light)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "bench_many: /usr/bin/time is needed (time)" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "bench_many: sqlite3 is needed" >&2; exit 1; }

# shellcheck source=bench/release_build.sh
source "$root/bench/release_build.sh"
# shellcheck disable=SC2154
cmake --build "$build" -j2 --target tw_bench_floor >/dev/null
floor="$build/bench/tw_bench_floor"
floor_static="$build/bench/tw_bench_floor_static"
cmake --build "$build" -j2 --target tw_bench_floor_static >/dev/null 2>&1 || floor_static=""

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
cleanup() {
  "$root/tests/support/peers.sh" stop "$work/peers" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/tests/support/peers.sh" start "$work/peers" nginx >/dev/null
# shellcheck disable=SC1091
source "$work/peers/peers.env"

for ((i = 0; i < urls; i++)); do
  head -c 1536 /dev/urandom | base64 -w 76 | head -c 2048 >"$TW_NGINX_ROOT/change/many-$i.html"
done
# The check list: every URL once per round, round after round.
for ((r = 0; r < rounds; r++)); do
  for ((i = 0; i < urls; i++)); do echo "$i"; done
done >"$work/list"
checks=$((urls * rounds))
base="http://127.0.0.1:$TW_NGINX_PORT/change/many-"
sed "s|^|$base|; s|\$|.html|" "$work/list" >"$work/urls"
sed "s|^|/change/many-|; s|\$|.html|" "$work/list" >"$work/paths"
export TMPDIR="$work/tmp" TARNWICK_SYSLOG_SOCKET="$work/no-syslog"
mkdir -p "$TMPDIR"

# side NAME: one batch of all checks from a fresh state; appends
# "wall user system" to $work/NAME.times and checks every result.
side() {
  local name=$1 state="$work/state-$1" input="$work/urls" rc=0
  local -a cmd
  rm -rf "$state"
  mkdir -p "$state"
  case $name in
    tarnwick) cmd=("$tarnwick" /le /checksum) ;;
    tarnwick_sh) cmd=(sh -c "'$tarnwick' /le /checksum \"\$0\"") ;;
    no_log) cmd=("$tarnwick" /checksum) ;;
    fetch) cmd=("$tarnwick" /t '*') ;;
    floor) cmd=("$floor" "$TW_NGINX_PORT") input="$work/paths" ;;
    floor_static) cmd=("$floor_static" "$TW_NGINX_PORT") input="$work/paths" ;;
    exec) cmd=(/bin/true) ;;
    pipeline)
      input="$work/list"
      cmd=(sh -c "curl -fso '$state'/\$0.page '$base'\$0.html && sha256sum <'$state'/\$0.page >'$state'/\$0.new \
&& { cmp -s '$state'/\$0.new '$state'/\$0.sum || mv '$state'/\$0.new '$state'/\$0.sum; }") ;;
  esac
  TARNWICK_ROOT="$state" /usr/bin/time -f "%e %U %S" -o "$work/$name.last" \
    xargs -P 2 -n 1 "${cmd[@]}" <"$input" >/dev/null 2>"$work/$name.err" || rc=$?
  if ((rc != 0)); then
    echo "bench_many: not every check of '$name' ended with 0 (xargs: $rc):" >&2
    grep -v -e '^Neither' -e '^$' "$work/$name.err" | sort | uniq -c | head >&2
    exit 1
  fi
  tail -1 "$work/$name.last" >>"$work/$name.times"
  case $name in
    pipeline)
      for ((i = 0; i < urls; i++)); do
        [[ $(cut -d' ' -f1 "$state/$i.sum") == $(sha256sum <"$TW_NGINX_ROOT/change/many-$i.html" | cut -d' ' -f1) ]] ||
          { echo "bench_many: the pipeline kept a wrong checksum for page $i" >&2; exit 1; }
      done ;;
    tarnwick | tarnwick_sh | no_log)
      [[ $(sqlite3 "$state/user.db" "SELECT count(*) FROM vals") -eq $urls ]] ||
        { echo "bench_many: $name did not keep one checksum per page" >&2; exit 1; } ;;&
    tarnwick | tarnwick_sh)
      [[ $(sqlite3 "$state/eventlog.db" "SELECT count(*) FROM events") -eq $checks ]] ||
        { echo "bench_many: $name did not log one event per check" >&2; exit 1; } ;;
    floor | floor_static)
      [[ $(sqlite3 "$state/floor-user.db" "SELECT count(*) FROM vals") -eq $urls &&
         $(sqlite3 "$state/floor-eventlog.db" "SELECT count(*) FROM events") -eq $checks ]] ||
        { echo "bench_many: $name did not keep one checksum per page and one event per check" >&2; exit 1; } ;;
  esac
}

sides=()
for s in tarnwick pipeline no_log fetch floor floor_static tarnwick_sh exec; do
  [[ $s == floor_static && -z $floor_static ]] && continue
  [[ $s =~ ${BENCH_ONLY:-.} ]] && sides+=("$s")
done
for ((k = 0; k < reps; k++)); do
  order=("${sides[@]}")
  if ((k % 2 == 1)); then
    order=()
    for ((j = ${#sides[@]} - 1; j >= 0; j--)); do order+=("${sides[j]}"); done
  fi
  for s in "${order[@]}"; do side "$s"; done
done
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "$checks checks of 2 KiB pages ($urls URLs x $rounds rounds, xargs -P 2), $reps runs each, medians"
printf '%-34s %8s %10s %14s\n' side "wall s" "checks/s" "CPU ms/check"
for s in "${sides[@]}"; do
  wall=$(cut -d' ' -f1 "$work/$s.times" | median)
  cpu=$(awk '{ print $2 + $3 }' "$work/$s.times" | median)
  awk -v s="$s" -v w="$wall" -v c="$cpu" -v n="$checks" \
    'BEGIN { printf "%-34s %8.2f %10.1f %14.2f\n", s, w, n / w, c * 1000 / n }'
  eval "wall_$s=$wall cpu_$s=$cpu"
done
# ratio A B TEXT: the wall-time ratio of two sides, when both ran.
ratio() {
  local a="wall_$1" b="wall_$2"
  [[ -n ${!a:-} && -n ${!b:-} ]] && awk -v a="${!a}" -v b="${!b}" -v t="$3" 'BEGIN { printf "%s: %.2fx\n", t, a / b }'
  return 0
}
ratio tarnwick pipeline "ratio tarnwick / pipeline (wall)"
ratio floor pipeline "ratio floor / pipeline (wall)"
ratio floor_static pipeline "ratio floor, all static / pipeline (wall)"
ratio tarnwick floor "ratio tarnwick / floor (wall)"
ratio tarnwick_sh pipeline "ratio tarnwick through sh / pipeline (wall)"
ratio exec pipeline "ratio process creation alone / pipeline (wall)"
if [[ -n ${cpu_tarnwick:-} && -n ${cpu_no_log:-} && -n ${cpu_fetch:-} ]]; then
  awk -v l="$cpu_tarnwick" -v nl="$cpu_no_log" -v f="$cpu_fetch" -v n="$checks" 'BEGIN {
    printf "event log per check (CPU, /le minus no /le): %.2f ms\n", (l - nl) * 1000 / n
    printf "checksum and store per check (CPU, /checksum minus the search /t *): %.2f ms\n", (nl - f) * 1000 / n }'
fi
