#!/usr/bin/env bash
# A check with tarnwick against the pipeline a user would otherwise
# schedule, on the same loopback nginx and the same files, alternating the
# two in one run (A/B, the order swapped every round). Both sides run
# through /bin/sh -c, as a scheduler starts them. Prints the median wall
# time of each side, the ratio tarnwick/pipeline and the peak memory.
#
#   1. 2 KiB page,   /checksum  vs  curl -so f URL && sha256sum f
#   2. 100 MB page,  /checksum  vs  curl -so f URL && sha256sum f
#   3. 5 MiB page,   /t (pattern at the end)  vs  curl -s URL | grep -qi PATTERN
#   4. the 2 KiB and 100 MB pages over https (TLS 1.3, the test CA trusted
#      through SSL_CERT_FILE)  vs  curl -sk; and 2 KiB over https with the
#      trust from the hashed directory only (SSL_CERT_DIR)
#   5. 2 KiB page behind nginx's Basic authentication, /u /p  vs  curl -u
#   6. 2 KiB page through squid asking NTLM, the proxy options  vs
#      curl --proxy-ntlm -x (tarnwick asks with Basic and Digest first)
#   7. the 100 MB page over https through squid's CONNECT (/proxyhost)  vs
#      tarnwick straight to nginx
#   8. 2 KiB page, the monitoring plugin check_tarnwick  vs  tarnwick /lc
#   9. the 100 MB page through squid with /usewininet (the Internet library)
#      vs the same through squid with the component's own HTTP code
#  10. whether a check without /usewininet maps libcurl, and whether a
#      plain-http check maps libssl or libcrypto: its mapped libraries, read
#      while it waits on a peer that never answers
#
# Usage: bench/bench_fetch.sh [ROUNDS_SMALL [ROUNDS_BIG]]   (defaults 40 and 7)
# BENCH_ONLY=REGEX runs and reports only the cases whose names match (small,
# big, pattern, tls_small, tls_big, tls_dir, basic, ntlm, proxy_big, plugin,
# library_big).
# Builds a Release build in build-bench/; TARNWICK_BIN=PATH times another
# tarnwick executable instead (an earlier revision's, say).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds_small=${1:-40}
rounds_big=${2:-7}

command -v curl >/dev/null || { echo "bench_fetch: curl is needed" >&2; exit 1; }
command -v nginx >/dev/null || { echo "bench_fetch: nginx is needed (nginx-light)" >&2; exit 1; }

# shellcheck source=bench/release_build.sh
source "$root/bench/release_build.sh"

# shellcheck source=bench/peers_work.sh
source "$root/bench/peers_work.sh"
base="http://127.0.0.1:$TW_NGINX_PORT/change"

# The pages, in nginx's document root.
www="$TW_NGINX_ROOT/change"
head -c 2048 /dev/urandom | base64 -w 76 | head -c 2048 >"$www/bench-2k.html"
cp "$www/bench-2k.html" "$TW_NGINX_ROOT/basic/bench-2k.html"
head -c 100000000 /dev/zero | tr '\0' 'x' >"$www/bench-100m.bin"
{ yes 'A line of the five mebibyte page.' | head -c $((5 * 1048576 - 14)) || true
  printf 'PATTERN-AT-END'; } >"$www/bench-5m.txt"

export TARNWICK_ROOT="$work/state" TMPDIR="$work/tmp"
mkdir -p "$TARNWICK_ROOT" "$TMPDIR" "$work/curl"

# run_pair NAME ROUNDS TARNWICK_CMD PIPELINE_CMD
run_pair() {
  local name=$1 rounds=$2 a=$3 b=$4 i out
  [[ $name =~ ${BENCH_ONLY:-.} ]] || return 0
  : >"$work/$name.a"
  : >"$work/$name.b"
  # One warm-up of each (page cache, first checksum stored).
  "$measure" /bin/sh -c "$a" >/dev/null
  "$measure" /bin/sh -c "$b" >/dev/null
  for ((i = 0; i < rounds; i++)); do
    if ((i % 2 == 0)); then
      "$measure" /bin/sh -c "$a" >>"$work/$name.a"
      "$measure" /bin/sh -c "$b" >>"$work/$name.b"
    else
      "$measure" /bin/sh -c "$b" >>"$work/$name.b"
      "$measure" /bin/sh -c "$a" >>"$work/$name.a"
    fi
  done
  # Every run must have worked: tarnwick 0 (checksum equal / pattern found),
  # the pipeline 0.
  if awk '$3 != 0 { bad = 1 } END { exit !bad }' "$work/$name.a" "$work/$name.b"; then
    echo "bench_fetch: a run of '$name' failed:" >&2
    cat "$work/$name.a" "$work/$name.b" >&2
    exit 1
  fi
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

report() {
  local name=$1 label=$2 ma mb ra rb
  [[ $name =~ ${BENCH_ONLY:-.} ]] || return 0
  ma=$(cut -d' ' -f1 "$work/$name.a" | median)
  mb=$(cut -d' ' -f1 "$work/$name.b" | median)
  ra=$(cut -d' ' -f2 "$work/$name.a" | sort -n | tail -1)
  rb=$(cut -d' ' -f2 "$work/$name.b" | sort -n | tail -1)
  awk -v l="$label" -v ma="$ma" -v mb="$mb" -v ra="$ra" -v rb="$rb" -v n="$(wc -l <"$work/$name.a")" \
    'BEGIN { printf "%-34s %4d  %10.2f  %10.2f  %6.2fx  %9d  %9d\n", l, n, ma / 1000, mb / 1000, ma / mb, ra, rb }'
}

u2k="$base/bench-2k.html"
u100m="$base/bench-100m.bin"
u5m="$base/bench-5m.txt"
run_pair small "$rounds_small" "'$tarnwick' /lc /checksum '$u2k'" \
  "curl -so '$work/curl/f' '$u2k' && sha256sum '$work/curl/f'"
run_pair big "$rounds_big" "'$tarnwick' /lc /checksum '$u100m'" \
  "curl -so '$work/curl/f' '$u100m' && sha256sum '$work/curl/f'"
run_pair pattern "$rounds_small" "'$tarnwick' /lc /t '*PATTERN-AT-END' '$u5m'" \
  "curl -s '$u5m' | grep -qi 'PATTERN-AT-END'"

https="https://localhost:$TW_NGINX_TLS_VALID/change"
s2k="$https/bench-2k.html"
s100m="$https/bench-100m.bin"
run_pair tls_small "$rounds_small" "SSL_CERT_FILE='$TW_TEST_CA/root.pem' '$tarnwick' /lc /checksum '$s2k'" \
  "curl -sko '$work/curl/f' '$s2k' && sha256sum '$work/curl/f'"
run_pair tls_big "$rounds_big" "SSL_CERT_FILE='$TW_TEST_CA/root.pem' '$tarnwick' /lc /checksum '$s100m'" \
  "curl -sko '$work/curl/f' '$s100m' && sha256sum '$work/curl/f'"
run_pair tls_dir "$rounds_small" "env -u SSL_CERT_FILE SSL_CERT_DIR='$TW_TEST_CA/trust' '$tarnwick' /lc /checksum '$s2k'" \
  "SSL_CERT_FILE='$TW_TEST_CA/root.pem' '$tarnwick' /lc /checksum '$s2k'"
run_pair proxy_big "$rounds_big" \
  "'$tarnwick' /lc /checksum /proxyhost 127.0.0.1 /proxyport $TW_SQUID_PLAIN_PORT '$s100m'" \
  "SSL_CERT_FILE='$TW_TEST_CA/root.pem' '$tarnwick' /lc /checksum '$s100m'"
via_squid="/proxyhost 127.0.0.1 /proxyport $TW_SQUID_PLAIN_PORT"
run_pair library_big "$rounds_big" "'$tarnwick' /lc /checksum $via_squid /usewininet '$u100m'" \
  "'$tarnwick' /lc /checksum $via_squid '$u100m'"

# A peer that accepts and never answers: the check waits in its header probe
# long enough for its maps to be read.
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True); c = s.accept(); time.sleep(4)' >"$work/stall.port" &
stall=$!
for _ in $(seq 50); do [[ -s $work/stall.port ]] && break; sleep 0.1; done
"$tarnwick" /lc /checksum /timeout 3 "http://127.0.0.1:$(cat "$work/stall.port")/bench-2k.html" \
  >/dev/null 2>&1 &
check=$!
sleep 1
curl_maps=$(grep -c 'libcurl' "/proc/$check/maps" || true)
ssl_maps=$(grep -cE '/libssl\.so|/libcrypto\.so' "/proc/$check/maps" || true)
wait "$check" || true
wait "$stall" || true

run_pair plugin "$rounds_small" "'$root/tools/check_tarnwick/check_tarnwick.sh' -b '$tarnwick' /checksum '$u2k'" \
  "'$tarnwick' /lc /checksum '$u2k'"

b2k="http://127.0.0.1:$TW_NGINX_PORT/basic/bench-2k.html"
run_pair basic "$rounds_small" "'$tarnwick' /lc /checksum /u '$TW_HTTP_USER' /p '$TW_HTTP_PASSWORD' '$b2k'" \
  "curl -s -u '$TW_HTTP_USER:$TW_HTTP_PASSWORD' -o '$work/curl/f' '$b2k' && sha256sum '$work/curl/f'"
proxy_ntlm="/proxyhost 127.0.0.1 /proxyport $TW_SQUID_NTLM_PORT /proxyuser $TW_PROXY_USER"
run_pair ntlm "$rounds_small" "'$tarnwick' /lc /checksum $proxy_ntlm /proxypass '$TW_PROXY_PASSWORD' '$u2k'" \
  "curl -s --proxy-ntlm -U '$TW_PROXY_USER:$TW_PROXY_PASSWORD' -x 127.0.0.1:$TW_SQUID_NTLM_PORT -o '$work/curl/f' '$u2k' && sha256sum '$work/curl/f'"

echo
echo "tarnwick against the pipeline on 127.0.0.1 nginx (Release build, medians; memory: peak KiB)"
printf '%-34s %4s  %10s  %10s  %7s  %9s  %9s\n' "case" "runs" "tarnwick ms" "pipeline ms" "ratio" \
  "tw KiB" "pipe KiB"
report small "2 KiB page, /checksum"
report big "100 MB page, /checksum"
report pattern "5 MiB page, /t (pattern at end)"
report tls_small "2 KiB page over https, /checksum"
report tls_big "100 MB page over https, /checksum"
report tls_dir "2 KiB https: SSL_CERT_DIR vs _FILE"
report basic "2 KiB behind Basic, /u /p"
report ntlm "2 KiB via NTLM squid (5 requests)"
report proxy_big "100 MB https: squid CONNECT vs direct"
report plugin "2 KiB: check_tarnwick vs tarnwick"
report library_big "100 MB via squid: library vs own"
echo "libcurl mappings of a check without /usewininet: $curl_maps"
echo "libssl/libcrypto mappings of a plain-http check: $ssl_maps"
