#!/usr/bin/env bash
# Mutation check: puts each deliberate fault of scripts/mutants.txt into a
# scratch copy of the repository, builds it, runs the tests of that fault's
# area and records whether they notice (killed) or not (survived). It proves
# that a change to the tests still catches the same faults.
#
#   scripts/mutants.sh [--only ID[,ID...]] [--file PATH] [--list] [--keep] [--scratch DIR]
#                      [--time-limit SECONDS] [--no-baseline]
#
#   --only ID,...    run only these mutants
#   --file PATH      read the mutants from PATH instead of scripts/mutants.txt
#   --list           show the mutants and whether each still applies; build nothing
#   --keep           keep the scratch tree (its path is printed)
#   --scratch DIR    use DIR as the scratch tree (kept; a build tree already in
#                    it is reused, so a second run only rebuilds what differs)
#   --time-limit S   time limit of one mutant's test run (default 600 seconds)
#   --no-baseline    skip the run of the selected tests without any mutant
#
# The scratch copy holds the git-tracked files of the working tree as they are
# now (uncommitted edits included) and one non-sanitized Debug build tree,
# built fully once. Each mutant: the search text must occur exactly once in
# its file (otherwise it is "stale"), the file is changed, the test binaries
# of its labels are rebuilt ("build-error" when that fails), the selected
# tests run ("killed" when any fails or the time limit ends them, "survived"
# when all pass), and the file gets its original bytes back.
#
# One line per mutant:  ID  AREA  killed|survived|stale|build-error  (seconds)
# then:                 mutants: N killed, N survived, N stale, N build-error
# Exit status: 0 when every mutant applied and built (survivors are reported,
# not failures); 1 when one was stale, did not build or selected no test;
# 2 when the tests fail without any mutant or the set-up fails.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
list_file="$root/scripts/mutants.txt"

only=""
list_only=0
keep=0
scratch=""
time_limit=600
baseline=1
while [[ $# -gt 0 ]]; do
  case "$1" in
    --only) only="${2:?--only needs a list of IDs}"; shift 2 ;;
    --file) list_file="${2:?--file needs a path}"; shift 2 ;;
    --list) list_only=1; shift ;;
    --keep) keep=1; shift ;;
    --scratch) scratch="${2:?--scratch needs a directory}"; keep=1; shift 2 ;;
    --time-limit) time_limit="${2:?--time-limit needs seconds}"; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "mutants.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# --- the list --------------------------------------------------------------------------

ids=() labels=() tests=() files=() searches=() replacements=()
lineno=0
while IFS= read -r line || [[ -n "$line" ]]; do
  lineno=$((lineno + 1))
  [[ -z "${line//[[:space:]]/}" || "$line" == \#* ]] && continue
  fields=()
  rest="$line"
  while [[ "$rest" == *' @@ '* ]]; do
    fields+=("${rest%% @@ *}")
    rest="${rest#* @@ }"
  done
  # An empty replacement leaves the line ending in " @@" without the blank.
  if [[ ${#fields[@]} -eq 5 && "$rest" == *' @@' ]]; then
    fields+=("${rest% @@}") rest=""
  fi
  fields+=("$rest")
  if [[ ${#fields[@]} -ne 6 ]]; then
    echo "mutants.sh: $list_file:$lineno: expected 6 fields, found ${#fields[@]}" >&2
    exit 2
  fi
  for id in "${ids[@]}"; do
    [[ "$id" == "${fields[0]}" ]] && { echo "mutants.sh: duplicate ID ${fields[0]}" >&2; exit 2; }
  done
  ids+=("${fields[0]}") labels+=("${fields[1]}") tests+=("${fields[2]}")
  files+=("${fields[3]}") searches+=("${fields[4]}") replacements+=("${fields[5]}")
done <"$list_file"

selected=()
if [[ -n "$only" ]]; then
  IFS=',' read -r -a wanted <<<"$only"
  for w in "${wanted[@]}"; do
    found=0
    for i in "${!ids[@]}"; do
      [[ "${ids[$i]}" == "$w" ]] && { selected+=("$i"); found=1; }
    done
    [[ $found == 1 ]] || { echo "mutants.sh: no mutant $w" >&2; exit 2; }
  done
else
  selected=("${!ids[@]}")
fi

# How often the search text occurs in a file.
occurrences() {
  S="$2" perl -0777 -ne '$n = () = /\Q$ENV{S}\E/g; print $n' "$1"
}

area_of() { dirname "$1"; }

if [[ $list_only == 1 ]]; then
  for i in "${selected[@]}"; do
    f="$root/${files[$i]}"
    n=0
    [[ -f "$f" ]] && n=$(occurrences "$f" "${searches[$i]}")
    state=ok
    [[ "$n" == 1 ]] || state="stale ($n matches)"
    printf '%-32s %-22s %-18s %-44s %s\n' "${ids[$i]}" "$(area_of "${files[$i]}")" \
      "${labels[$i]}" "${tests[$i]}" "$state"
  done
  exit 0
fi

# --- the scratch tree ---------------------------------------------------------------------

if [[ -z "$scratch" ]]; then
  scratch="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-mutants.XXXXXX")"
  # Run as root, some tests start the built programs as another user, who
  # must be able to reach them (mktemp makes the directory private).
  chmod 755 "$scratch"
fi
# The sources at the top of the scratch tree, the build tree and the logs in it.
src="$scratch"
build="$scratch/build"
logs="$build/mutant-logs"
mkdir -p "$logs"

cleanup() {
  # The peers of the end-to-end tests, should a killed test run have left them.
  if [[ -d "$build/peers" ]]; then "$src/tests/support/peers.sh" stop "$build/peers" >/dev/null 2>&1; fi
  if [[ $keep == 0 ]]; then rm -rf "$scratch"; else echo "scratch tree kept: $scratch"; fi
}
trap cleanup EXIT

# Copies the tracked files of the working tree; files whose bytes are already
# there stay untouched, so that a reused build tree rebuilds only what differs.
sync_sources() {
  local f
  while IFS= read -r -d '' f; do
    [[ -f "$root/$f" ]] || continue
    if ! cmp -s "$root/$f" "$src/$f"; then
      mkdir -p "$(dirname "$src/$f")"
      cp "$root/$f" "$src/$f"
    fi
  done < <(git -C "$root" ls-files -z)
}

start_all=$SECONDS
sync_sources
if [[ ! -f "$build/build.ninja" ]]; then
  # A compiler cache, where there is one, shares the first build between scratch trees.
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  if ! cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_TESTS=ON \
       -DTARNWICK_SANITIZE=OFF "${launcher[@]}" >"$logs/configure.log" 2>&1; then
    echo "mutants.sh: configure failed, see $logs/configure.log" >&2
    keep=1
    exit 2
  fi
fi
echo "building the scratch tree ($build)..."
if ! nice -n 10 cmake --build "$build" -j2 >"$logs/build.log" 2>&1; then
  echo "mutants.sh: the unmutated tree does not build, see $logs/build.log" >&2
  keep=1
  exit 2
fi

# The test binary targets of a comma-separated label list: every binary of
# the build tree that runs a test carrying one of the labels, as CTest lists
# them (a label may span several binaries).
targets_of() {
  (cd "$build" && ctest -N -L "^(${1//,/|})\$" --show-only=json-v1 2>/dev/null) |
    jq -r --arg build "$build/" \
      '[.tests[].command[0] // empty | select(startswith($build)) | split("/") | last]
       | unique | .[]'
}

# Runs the tests of labels (comma-separated) matching a regex; output to a log.
# Fixtures the selected tests need (the peers) are started by CTest itself.
run_tests() {
  local labels="$1" regex="$2" log="$3"
  local label_re="^(${labels//,/|})\$"
  (cd "$build" && timeout -k 20 "$time_limit" nice -n 10 \
     ctest -j2 --no-tests=error --output-on-failure -L "$label_re" -R "$regex") >"$log" 2>&1
  local rc=$?
  # A test run ended by the time limit may have left the peers running.
  if [[ $rc -ne 0 && -f "$build/peers/peers.env" ]]; then
    "$src/tests/support/peers.sh" stop "$build/peers" >/dev/null 2>&1
  fi
  return $rc
}

# --- baseline: the selected tests pass without any mutant -------------------------------

if [[ $baseline == 1 ]]; then
  # Each distinct selection once (CTest's regular expressions allow too few
  # groups to join them all into one run).
  echo "baseline: running the selected tests without mutants..."
  t0=$SECONDS
  declare -A seen=()
  for i in "${selected[@]}"; do
    key="${labels[$i]} ${tests[$i]}"
    [[ -n "${seen[$key]:-}" ]] && continue
    seen[$key]=1
    if ! run_tests "${labels[$i]}" "${tests[$i]}" "$logs/baseline.log"; then
      echo "mutants.sh: tests fail without any mutant (labels ${labels[$i]}, tests ${tests[$i]}):" >&2
      grep -E '\*\*\*|Failed|Timeout|No tests' "$logs/baseline.log" | tail -20 >&2
      keep=1
      exit 2
    fi
  done
  echo "baseline: passed, ${#seen[@]} selections ($((SECONDS - t0)) s)"
fi

# --- the mutants ------------------------------------------------------------------------

n_killed=0 n_survived=0 n_stale=0 n_build=0 n_notests=0
for i in "${selected[@]}"; do
  id="${ids[$i]}"
  file="$src/${files[$i]}"
  area="$(area_of "${files[$i]}")"
  log="$logs/$id.log"
  t0=$SECONDS
  status=""
  n=0
  [[ -f "$file" ]] && n=$(occurrences "$file" "${searches[$i]}")
  if [[ "$n" != 1 ]]; then
    status=stale
    echo "search text found $n times in ${files[$i]}" >"$log"
  else
    cp "$file" "$logs/original"
    S="${searches[$i]}" R="${replacements[$i]}" perl -0777 -pi -e 's/\Q$ENV{S}\E/$ENV{R}/' "$file"
    # Tests that run only scripts (the plugin's) have no target to rebuild.
    targets=$(targets_of "${labels[$i]}")
    # shellcheck disable=SC2086
    if [[ -n $targets ]] && ! nice -n 10 cmake --build "$build" -j2 --target $targets \
         >"$log" 2>&1; then
      status=build-error
    elif run_tests "${labels[$i]}" "${tests[$i]}" "$log.tests"; then
      status=survived
    elif grep -q 'No tests were found' "$log.tests"; then
      status=no-tests
    else
      status=killed
    fi
    # The original bytes with a new time stamp, so the next build compiles them again.
    cat "$logs/original" >"$file"
  fi
  case "$status" in
    killed) n_killed=$((n_killed + 1)) ;;
    survived) n_survived=$((n_survived + 1)) ;;
    stale) n_stale=$((n_stale + 1)) ;;
    build-error) n_build=$((n_build + 1)) ;;
    no-tests) n_notests=$((n_notests + 1)) ;;
  esac
  printf '%-32s %-22s %-12s (%d s)\n' "$id" "$area" "$status" $((SECONDS - t0))
done

summary="mutants: $n_killed killed, $n_survived survived, $n_stale stale, $n_build build-error"
[[ $n_notests -gt 0 ]] && summary+=", $n_notests selected no test"
echo "$summary"
echo "total time: $((SECONDS - start_all)) s"
if [[ $n_stale -gt 0 || $n_build -gt 0 || $n_notests -gt 0 ]]; then
  keep=1
  exit 1
fi
exit 0
