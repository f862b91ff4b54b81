#!/usr/bin/env bash
# Builds a Release build and runs tarnwick with the given arguments. Without
# arguments it runs a demo: a bundled page served on 127.0.0.1 and checked
# the ways a new user wants to see, with its state in a temporary
# TARNWICK_ROOT that is removed afterwards.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" build

build="$root/build-release"
[[ -d $build ]] || echo "Building tarnwick (Release) in build-release/; the first build takes a minute or two." >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
tarnwick="$build/cli/tarnwick"

if [[ $# -gt 0 ]]; then
  exec "$tarnwick" "$@"
fi

# --- the demo ---------------------------------------------------------------------------

server="$build/demo_server"
if [[ ! -x $server || $root/scripts/demo/demo_server.cpp -nt $server ]]; then
  c++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$server" "$root/scripts/demo/demo_server.cpp"
fi

demo=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-demo.XXXXXX")
server_pid=""
cleanup() {
  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$demo/www" "$demo/state" "$demo/tmp"
cp "$root/scripts/demo/page.html" "$demo/www/index.html"
"$server" "$demo/www" "$demo/port" &
server_pid=$!
for _ in $(seq 1 100); do
  [[ -s $demo/port ]] && break
  kill -0 "$server_pid" 2>/dev/null || { echo "The demo server did not start." >&2; exit 1; }
  sleep 0.05
done
[[ -s $demo/port ]] || { echo "The demo server did not start." >&2; exit 1; }
url="http://127.0.0.1:$(cat "$demo/port")/index.html"

# Everything tarnwick keeps (checksums, event log) and its temporary file
# stay inside the demo folder.
export TARNWICK_ROOT="$demo/state" TMPDIR="$demo/tmp"

step() {
  local title=$1
  shift
  printf '\n== %s\n$ tarnwick' "$title"
  local arg
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_/:.,=-]+$ ]]; then printf ' %s' "$arg"; else printf " '%s'" "$arg"; fi
  done
  printf '\n'
  local rc=0
  "$tarnwick" "$@" || rc=$?
  printf '(exit code %d)\n' "$rc"
}

echo "Tarnwick demo: a page served on $url"
step "First check: the checksum is stored" /lc /checksum "$url"
step "Second check: the page is the same" /lc /checksum "$url"
sed -i 's/fish soup/lentil stew/' "$demo/www/index.html"
echo
echo "(The page now offers lentil stew instead of fish soup.)"
step "Third check: the page has changed" /lc /checksum "$url"
step "A text that is on the page" /lc /t '*Opening hours*' "$url"
step "A text that is not on the page" /lc /t '*Closed on Sundays*' "$url"
unused="http://127.0.0.1:$("$server" --unused-port)/"
step "A page nobody serves" /lc /checksum "$unused"
echo
echo "Demo finished; its files are removed. Every option: scripts/run.sh '/?'"
