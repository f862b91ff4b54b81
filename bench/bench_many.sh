#!/usr/bin/env bash
# Many checks per second: 1,000 checks of 2 KiB pages (URLS pages on the
# loopback nginx, ROUNDS rounds), two at a time (xargs -P 2), all on one
# TARNWICK_ROOT with /le /checksum, against the curl pipeline that keeps
# each page's checksum in a file of its own. The two sides alternate (the
# order swapped every repetition); every check must end with 0 (page
# fetched, checksum stored or unchanged), and every pipeline with a checksum
# file that holds the page's digest.
#
# Also runs tarnwick without /le (no event log) and without /checksum (the
# fetch alone), so that the differences give the cost per check of the
# event log and of the checksum store, and the same xargs and sh running
# /bin/true (shell): the floor that no program started this way goes below.
#
# Prints, per side: the median wall time of the 1,000 checks, checks per
# second, CPU (user + system of all processes) per check, and the ratio.
#
# Usage: bench/bench_many.sh [REPETITIONS [URLS [ROUNDS]]]   (defaults 3 200 5)
# BENCH_ONLY=REGEX runs only the sides whose names match (tarnwick,
# pipeline, no_log, fetch, shell).
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

# shellcheck source=bench/release_build.sh
source "$root/bench/release_build.sh"

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
export TMPDIR="$work/tmp" TARNWICK_SYSLOG_SOCKET="$work/no-syslog"
mkdir -p "$TMPDIR"

# side NAME: one batch of all checks from a fresh state; appends
# "wall user system" to $work/NAME.times and checks every result.
side() {
  local name=$1 state="$work/state-$1" cmd
  rm -rf "$state" "$work/$1.codes"
  mkdir -p "$state"
  case $name in
    tarnwick) cmd="TARNWICK_ROOT='$state' '$tarnwick' /le /checksum '$base'\$0.html" ;;
    no_log) cmd="TARNWICK_ROOT='$state' '$tarnwick' /checksum '$base'\$0.html" ;;
    fetch) cmd="TARNWICK_ROOT='$state' '$tarnwick' '$base'\$0.html" ;;
    shell) cmd="/bin/true \$0" ;;
    pipeline)
      cmd="curl -so '$state'/\$0.page '$base'\$0.html && sha256sum <'$state'/\$0.page >'$state'/\$0.new \
&& { cmp -s '$state'/\$0.new '$state'/\$0.sum || mv '$state'/\$0.new '$state'/\$0.sum; }" ;;
  esac
  /usr/bin/time -f "%e %U %S" -o "$work/$name.last" \
    xargs -P 2 -n 1 sh -c "$cmd >/dev/null 2>&1; echo \$?" <"$work/list" >"$work/$name.codes"
  cat "$work/$name.last" >>"$work/$name.times"
  if [[ $(grep -cx 0 "$work/$name.codes") -ne $checks ]]; then
    echo "bench_many: not every check of '$name' succeeded:" >&2
    sort "$work/$name.codes" | uniq -c >&2
    exit 1
  fi
  if [[ $name == pipeline ]]; then
    for ((i = 0; i < urls; i++)); do
      [[ $(cut -d' ' -f1 "$state/$i.sum") == $(sha256sum <"$TW_NGINX_ROOT/change/many-$i.html" | cut -d' ' -f1) ]] ||
        { echo "bench_many: the pipeline kept a wrong checksum for page $i" >&2; exit 1; }
    done
  elif [[ $name != fetch && $name != shell ]]; then
    [[ $(sqlite3 "$state/user.db" "SELECT count(*) FROM vals") -eq $urls ]] ||
      { echo "bench_many: tarnwick did not keep one checksum per page" >&2; exit 1; }
  fi
}

sides=()
for s in tarnwick pipeline no_log fetch shell; do [[ $s =~ ${BENCH_ONLY:-.} ]] && sides+=("$s"); done
for ((k = 0; k < reps; k++)); do
  order=("${sides[@]}")
  if ((k % 2 == 1)); then
    order=()
    for ((j = ${#sides[@]} - 1; j >= 0; j--)); do order+=("${sides[j]}"); done
  fi
  for s in "${order[@]}"; do side "$s"; done
done
if [[ -f $work/state-tarnwick/eventlog.db ]] && command -v sqlite3 >/dev/null; then
  events=$(sqlite3 "$work/state-tarnwick/eventlog.db" "SELECT count(*) FROM events")
  echo "events in the last tarnwick run's store: $events"
fi

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
# shellcheck disable=SC2154
if [[ -n ${wall_tarnwick:-} && -n ${wall_pipeline:-} ]]; then
  awk -v a="$wall_tarnwick" -v b="$wall_pipeline" \
    'BEGIN { printf "ratio tarnwick / pipeline (wall): %.2fx\n", a / b }'
fi
if [[ -n ${wall_tarnwick:-} && -n ${wall_pipeline:-} && -n ${wall_shell:-} ]]; then
  awk -v a="$wall_tarnwick" -v b="$wall_pipeline" -v f="$wall_shell" \
    'BEGIN { printf "the same less the floor of xargs and sh (shell): %.2fx\n", (a - f) / (b - f) }'
fi
if [[ -n ${cpu_tarnwick:-} && -n ${cpu_no_log:-} && -n ${cpu_fetch:-} ]]; then
  awk -v l="$cpu_tarnwick" -v nl="$cpu_no_log" -v f="$cpu_fetch" -v n="$checks" 'BEGIN {
    printf "event log per check (CPU, /le minus no /le): %.2f ms\n", (l - nl) * 1000 / n
    printf "checksum and store per check (CPU, /checksum minus fetch only): %.2f ms\n", (nl - f) * 1000 / n }'
fi
