#!/usr/bin/env bash
# Builds a Release build and runs tarnwick with the given arguments.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" build

build="$root/build-release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

if [[ $# -eq 0 ]]; then
  # The demo against a bundled local page needs the page fetcher; until it
  # exists, show the usage.
  exec "$build/cli/tarnwick" /help
fi
exec "$build/cli/tarnwick" "$@"
