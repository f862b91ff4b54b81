#!/usr/bin/env bash
# What a build or linking change costs a check: the Release builds of two
# revisions run the small check (a 2 KiB page over http from the loopback
# nginx, /lc /checksum, the stored checksum unchanged), alternating in one
# run with the order swapped every round. Prints the mean and median wall
# time and the peak memory of each.
#
# Usage: bench/bench_builds.sh REV_A REV_B [ROUNDS]   (default 200)
# Each revision is exported with git archive and built in build-ab/<commit>/
# (kept for the next run; CMAKE_CXX_COMPILER_LAUNCHER=ccache in the
# environment speeds the first build up).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[[ $# -ge 2 ]] || { echo "usage: bench/bench_builds.sh REV_A REV_B [ROUNDS]" >&2; exit 2; }
rounds=${3:-200}
command -v nginx >/dev/null || { echo "bench_builds: nginx is needed (nginx-light)" >&2; exit 1; }

# Builds the revision when its tree is missing; prints the tree.
build_rev() {
  local dir
  dir="$root/build-ab/$(git -C "$root" rev-parse --short=12 "$1^{commit}")"
  if [[ ! -x $dir/build/cli/tarnwick || ! -x $dir/build/bench/tw_bench_measure ]]; then
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git -C "$root" archive "$1" | tar -x -C "$dir/src"
    cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF \
          -DTARNWICK_BENCH=ON >/dev/null
    cmake --build "$dir/build" -j2 --target tarnwick tw_bench_measure >/dev/null
  fi
  echo "$dir/build"
}
tree_a=$(build_rev "$1")
tree_b=$(build_rev "$2")
measure="$tree_b/bench/tw_bench_measure"

# shellcheck source=bench/peers_work.sh
source "$root/bench/peers_work.sh"
head -c 2048 /dev/urandom | base64 -w 76 | head -c 2048 >"$TW_NGINX_ROOT/change/bench-builds-2k.html"
url="http://127.0.0.1:$TW_NGINX_PORT/change/bench-builds-2k.html"
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR" "$work/a" "$work/b"

# check SIDE: one check with that side's build and state, timed.
check() {
  local tree=$tree_a
  [[ $1 == b ]] && tree=$tree_b
  TARNWICK_ROOT="$work/$1" "$measure" "$tree/cli/tarnwick" /lc /checksum "$url" >>"$work/$1.times"
}
check a && check b                     # warm-up; stores the checksum
: >"$work/a.times"
: >"$work/b.times"
for ((i = 0; i < rounds; i++)); do
  if ((i % 2 == 0)); then check a && check b; else check b && check a; fi
done
if awk '$3 != 0 { bad = 1 } END { exit !bad }' "$work/a.times" "$work/b.times"; then
  echo "bench_builds: a check did not end with exit code 0" >&2
  exit 1
fi

echo "small check (2 KiB http page, /checksum unchanged), $rounds runs each, Release builds"
printf '%-24s %10s %10s %10s\n' revision "mean ms" "median ms" "peak KiB"
for side in a b; do
  rev=$1
  [[ $side == b ]] && rev=$2
  sort -n "$work/$side.times" | awk -v r="$rev" '
    { t[NR] = $1 / 1000; sum += t[NR]; if ($2 > rss) rss = $2 }
    END { m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
          printf "%-24s %10.2f %10.2f %10d\n", r, sum / NR, m, rss }'
done
