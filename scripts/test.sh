#!/usr/bin/env bash
# Builds a Debug build with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs every test (arguments go to this ctest: scripts/test.sh -R cli),
# checks the hardening of the Release executables, then builds the fuzz
# targets with clang and fuzzes each for a short time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" test

build="$root/build-test"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON \
      -DTARNWICK_TESTS=ON >/dev/null
cmake --build "$build" -j2

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
(cd "$build" && ctest --output-on-failure -j2 --timeout 600 "$@")

# The hardening and linking of the Release executables, read from the
# Release tree scripts/run.sh uses (configured here when absent).
release="$root/build-release"
[[ -f $release/CMakeCache.txt ]] ||
  cmake -S "$root" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$release" -j2 --target tarnwick tarnwick-eventlog tarnwick-reg tarnwick-diag
"$root/scripts/check-hardening.sh" "$release"

# Fuzz targets: a clang build tree of its own, each target fuzzed for a
# short fixed time from its committed seeds (TARNWICK_FUZZ_SECONDS, default
# 20; 0 skips this step), two at a time. A crash, sanitizer report or failed
# check fails.
fuzz_seconds="${TARNWICK_FUZZ_SECONDS:-20}"
if [[ "$fuzz_seconds" != 0 ]]; then
  fuzz="$root/build-fuzz"
  cmake -S "$root" -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTARNWICK_FUZZ=ON -DTARNWICK_TESTS=OFF -DTARNWICK_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
  cmake --build "$fuzz" -j2 --target tw_fuzz_all
  (cd "$fuzz" && ctest --output-on-failure -j2 -L fuzz)
fi
