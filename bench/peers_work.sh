# shellcheck shell=bash
# Sourced by the bench scripts (after setting root): a scratch folder $work,
# removed on exit, with the loopback peers of tests/support/peers.sh
# started in it and their peers.env loaded.
: "${root:?set root before sourcing peers_work.sh}"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench.XXXXXX")
cleanup() {
  "$root/tests/support/peers.sh" stop "$work/peers" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/tests/support/peers.sh" start "$work/peers" >/dev/null
# shellcheck disable=SC1091
source "$work/peers/peers.env"
