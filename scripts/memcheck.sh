#!/usr/bin/env bash
# Runs the test suite once under valgrind's memcheck: a Debug build without
# sanitizers (build-vg), every test binary under valgrind, and every
# tarnwick the tests start under valgrind as well (TARNWICK_BIN names a
# wrapper). Logs and test output go to build-vg/memcheck/.
#
#   scripts/memcheck.sh [TEST_BINARY_NAME...]   (default: every *_tests binary)
#
# Ends with a summary: per binary whether its tests passed and what memcheck
# found in it and in the tarnwick runs it started. Fails when memcheck
# reported an error or a definite or indirect leak anywhere. Tests that time
# a run or bound its memory can fail under valgrind's slowness and size;
# those failures are listed, they are not memcheck findings.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-vg"

command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=OFF \
      -DTARNWICK_TESTS=ON >/dev/null
cmake --build "$build" -j2

logs="$build/memcheck"
rm -rf "$logs"
mkdir -p "$logs"
vg=(valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect
    --errors-for-leak-kinds=definite,indirect --num-callers=30)

# Every tarnwick a test starts runs under memcheck too, and so does the
# component client of the hostile-server tests.
wrap() {  # wrap NAME PROGRAM: a script that runs PROGRAM under memcheck
  cat >"$logs/$1" <<EOF
#!/bin/sh
exec ${vg[*]} --log-file=$logs/tarnwick.%p.log $2 "\$@"
EOF
  chmod +x "$logs/$1"
}
wrap tarnwick "$build/cli/tarnwick"
wrap tw_hostile_get "$build/tests/hostile/tw_hostile_get"
export TARNWICK_BIN="$logs/tarnwick" TW_HOSTILE_GET_BIN="$logs/tw_hostile_get"

# The real peers of the end-to-end tests (CTest starts them otherwise).
"$root/tests/support/peers.sh" start "$build/peers" >/dev/null
trap '"$root/tests/support/peers.sh" stop "$build/peers"' EXIT

if [[ $# -gt 0 ]]; then
  names=("$@")
else
  mapfile -t names < <(find "$build/tests" -maxdepth 2 -name '*_tests' -type f -printf '%f\n' | sort)
fi

status=0
for name in "${names[@]}"; do
  bin=$(find "$build/tests" -maxdepth 2 -name "$name" -type f | head -n 1)
  [[ -n $bin ]] || { echo "no test binary $name"; status=1; continue; }
  mkdir -p "$logs/$name"
  start=$(date +%s)
  set +e
  (cd "$logs/$name" && "${vg[@]}" --log-file="$logs/$name/valgrind.%p.log" "$bin" >"$logs/$name/output.txt" 2>&1)
  rc=$?
  set -e
  # tarnwick logs written while this binary ran belong to it.
  find "$logs" -maxdepth 1 -name 'tarnwick.*.log' -exec mv {} "$logs/$name/" \;
  runs=$(find "$logs/$name" -name 'tarnwick.*.log' | wc -l)
  errors=$( (grep -l 'ERROR SUMMARY: [1-9]' "$logs/$name"/*.log 2>/dev/null || true) | wc -l)
  failed=$(grep -c '^\[  FAILED  \] [A-Za-z]' "$logs/$name/output.txt" || true)
  echo "$name: exit $rc, $(( $(date +%s) - start )) s, program runs under memcheck $runs," \
       "logs with memcheck errors $errors, failed tests $failed"
  if [[ $errors -gt 0 || $rc -eq 99 ]]; then
    status=1
    grep -l 'ERROR SUMMARY: [1-9]' "$logs/$name"/*.log | sed 's/^/  memcheck errors: /'
  fi
  grep '^\[  FAILED  \] [A-Za-z]' "$logs/$name/output.txt" | sed 's/^/  /' || true
done
exit $status
