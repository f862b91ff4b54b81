# shellcheck shell=bash
# Sourced by the bench scripts (after setting root): builds tarnwick and
# tw_bench_measure in the Release tree build-bench/ and sets build,
# tarnwick (TARNWICK_BIN instead, when set) and measure.
: "${root:?set root before sourcing release_build.sh}"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF \
      -DTARNWICK_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target tarnwick tw_bench_measure >/dev/null
# shellcheck disable=SC2034
tarnwick=${TARNWICK_BIN:-$build/cli/tarnwick}
# shellcheck disable=SC2034
measure="$build/bench/tw_bench_measure"
