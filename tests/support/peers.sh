#!/usr/bin/env bash
# Real peers for the end-to-end tests, from Debian's packages, on loopback
# only, each in the foreground with a configuration generated into a
# temporary directory; their ports go to an environment file the tests read.
#
#   peers.sh start|stop STATE_DIR   start every peer and write
#                                   STATE_DIR/peers.env, or stop them by process id
#
# peers.env: TW_PEERS_DIR (the peers' temporary directory: configs, logs),
# TW_NGINX_PORT (nginx on 127.0.0.1) and TW_NGINX_ROOT (its document root;
# tests may add pages under change/); TW_TEST_CA (the certificates of
# test_ca.sh) and TW_NGINX_TLS_<KIND> for each HTTPS server of the same
# pages on 127.0.0.1 and ::1: VALID (TLS 1.2 and 1.3), TLS12 (TLS 1.2 only),
# TLS10 (TLS 1.0 only), NOCHAIN (the valid leaf without its intermediate),
# and EXPIRED, WRONGHOST, SELFSIGNED, UNTRUSTED, NOSERVERAUTH (the leaves of
# those names). A further peer is one more
# start_<name> function, named in PEERS, that starts the program, records
# its process id in STATE/<name>.pid, calls wait_listening and adds its
# lines to ENV_TMP.
set -euo pipefail

PEERS=(nginx kdc apache_gss)

source "$(dirname "${BASH_SOURCE[0]}")/peers_kerberos.sh"

die() { echo "peers.sh: $*" >&2; exit 1; }

# True when something accepts connections on 127.0.0.1:port.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A port on 127.0.0.1 on which nothing listens now.
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    if ! listening "$p"; then echo "$p"; return 0; fi
  done
  die "no free loopback port found"
}

# Waits until the process is listening on the port (5 s at most). Fails
# when the process has ended or the time is up.
wait_listening() {
  for _ in $(seq 1 100); do
    kill -0 "$1" 2>/dev/null || return 1
    listening "$2" && return 0
    sleep 0.05
  done
  return 1
}

# --- nginx ---------------------------------------------------------------------------

# filler_page FILE SIZE TEXT: filler lines cut to SIZE bytes in all, ending in TEXT.
filler_page() {
  { yes 'Filler line of the big test page.' | head -c $(($2 - ${#3})) || true; printf '%s' "$3"; } >"$1"
}

# The document root: one page for each kind of answer the tests need.
make_nginx_docroot() {
  local www=$1
  mkdir -p "$www"/{gzip,gzstatic,chunked,big,nul,slow,change}
  printf '<html><body><h1>Tarnwick test page</h1><p>Plain text here.</p></body></html>\n' \
    >"$www/plain.html"
  # Compressible text; nginx compresses it only for a client that asks.
  for i in $(seq 1 400); do echo "<p>Line $i of the gzip test page.</p>"; done >"$www/gzip/page.html"
  echo '<p>End of the gzip page.</p>' >>"$www/gzip/page.html"
  # Served compressed to every client (gzip_static always).
  cp "$www/gzip/page.html" "$www/gzstatic/page.html"
  gzip -9 -n -c "$www/gzstatic/page.html" >"$www/gzstatic/page.html.gz"
  # Server-side includes make the length unknown in advance: chunked.
  for i in $(seq 1 300); do echo "<p>Chunk line $i.</p>"; done >"$www/chunked/page.html"
  echo '<p>End of the chunked page.</p>' >>"$www/chunked/page.html"
  # Exactly the search limit (8 MiB), and one byte over it, each ending in
  # the same text.
  filler_page "$www/big/exact.txt" 8388608 NEEDLE-AT-THE-END
  filler_page "$www/big/over.txt" 8388609 NEEDLE-AT-THE-END
  # A NUL byte hides the rest of its 4095-byte read block from the search.
  printf 'Start of page\0BEHIND-THE-NUL end\n' >"$www/nul/near.txt"
  { printf 'Start of page\0'; yes 'Filler after the NUL byte.' | head -c 8192 || true;
    printf 'BEHIND-THE-NUL end\n'; } >"$www/nul/far.txt"
  # Served at 64 KiB/s: about four seconds.
  yes 'Slow page line.' | head -c 262144 >"$www/slow/page.txt" || true
  chmod -R a+rX "$www"
}

# KIND certificate-file key protocols ciphers, one line each.
TLS_SERVERS=(
  "VALID valid-chain.pem valid.key TLSv1.2_TLSv1.3 DEFAULT"
  "TLS12 valid-chain.pem valid.key TLSv1.2 DEFAULT"
  "TLS10 valid-chain.pem valid.key TLSv1 DEFAULT:@SECLEVEL=0"
  "NOCHAIN valid.pem valid.key TLSv1.2_TLSv1.3 DEFAULT"
  "EXPIRED expired-chain.pem expired.key TLSv1.2_TLSv1.3 DEFAULT"
  "WRONGHOST wronghost-chain.pem wronghost.key TLSv1.2_TLSv1.3 DEFAULT"
  "SELFSIGNED selfsigned-chain.pem selfsigned.key TLSv1.2_TLSv1.3 DEFAULT"
  "UNTRUSTED untrusted-chain.pem untrusted.key TLSv1.2_TLSv1.3 DEFAULT"
  "NOSERVERAUTH noserverauth-chain.pem noserverauth.key TLSv1.2_TLSv1.3 DEFAULT"
)

# The HTTPS servers: one port each (taken from TLS_PORTS), the same pages.
tls_servers() {
  local i=0 kind cert key protocols ciphers
  for line in "${TLS_SERVERS[@]}"; do
    read -r kind cert key protocols ciphers <<<"$line"
    cat <<EOF
  server {
    listen 127.0.0.1:${TLS_PORTS[$i]} ssl; listen [::1]:${TLS_PORTS[$i]} ssl;
    ssl_certificate $CA/$cert; ssl_certificate_key $CA/$key;
    ssl_protocols ${protocols//_/ }; ssl_ciphers $ciphers;
    root $PEERS_DIR/www;
  }
EOF
    i=$((i + 1))
  done
}

nginx_config() {
  # nginx started as root hands the requests to an unprivileged worker.
  local user_line=""
  [[ $(id -u) -eq 0 ]] && user_line="user nobody nogroup;"
  cat >"$NGINX_DIR/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid $NGINX_DIR/nginx.pid;
error_log $NGINX_DIR/error.log;
events { worker_connections 512; }
http {
  log_format tls '\$request \$status tls=\$ssl_protocol reused=\$ssl_session_reused';
  access_log $NGINX_DIR/access.log tls;
  client_body_temp_path $NGINX_DIR/tmp/body;
  proxy_temp_path $NGINX_DIR/tmp/proxy;
  fastcgi_temp_path $NGINX_DIR/tmp/fastcgi;
  uwsgi_temp_path $NGINX_DIR/tmp/uwsgi;
  scgi_temp_path $NGINX_DIR/tmp/scgi;
  types { text/html html; text/plain txt; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$1;
    server_name localhost;
    root $PEERS_DIR/www;
    location /gzip/ { gzip on; gzip_min_length 1; gzip_types text/html; }
    location /gzstatic/ { gzip_static always; }
    location /chunked/ { ssi on; }
    location /slow/ { limit_rate 65536; }
    location = /moved { return 301 /plain.html; }
    # Redirects keep the query, which tags each request in the access log.
    location = /r302 { return 302 /plain.html?\$args; }
    location = /r303 { return 303 /plain.html?\$args; }
    location = /r307 { return 307 /plain.html?\$args; }
    location /rel/ {
      absolute_redirect off;
      location = /rel/r302 { return 302 /plain.html?\$args; }
      location = /rel/up { return 302 ../plain.html?\$args; }
    }
    location = /loop-a { return 302 /loop-b?\$args; }
    location = /loop-b { return 302 /loop-a?\$args; }
    location = /to-https { return 302 https://localhost:${TLS_PORTS[0]}/plain.html?\$args; }
  }
$(tls_servers)
}
EOF
}

start_nginx() {
  command -v nginx >/dev/null || die "nginx is not installed (apt-get install nginx-light)"
  NGINX_DIR="$PEERS_DIR/nginx"
  mkdir -p "$NGINX_DIR/tmp"
  make_nginx_docroot "$PEERS_DIR/www"
  CA="$PEERS_DIR/ca"
  bash "$(dirname "${BASH_SOURCE[0]}")/test_ca.sh" "$CA" >/dev/null
  chmod -R a+rX "$CA"
  local port pid kind
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    TLS_PORTS=()
    for _ in "${TLS_SERVERS[@]}"; do TLS_PORTS+=("$(free_port)"); done
    nginx_config "$port"
    # Its own session, so that the test runner does not wait on it; all
    # output to files.
    setsid nginx -p "$NGINX_DIR" -e "$NGINX_DIR/error.log" -c "$NGINX_DIR/nginx.conf" \
      -g 'daemon off;' </dev/null >"$NGINX_DIR/nginx.out" 2>&1 &
    pid=$!
    echo "$pid" >"$STATE/nginx.pid"
    if wait_listening "$pid" "$port"; then
      printf 'TW_NGINX_PORT=%s\nTW_NGINX_ROOT=%s\nTW_TEST_CA=%s\n' "$port" "$PEERS_DIR/www" \
        "$CA" >>"$ENV_TMP"
      for i in "${!TLS_SERVERS[@]}"; do
        kind=${TLS_SERVERS[$i]%% *}
        wait_listening "$pid" "${TLS_PORTS[$i]}" || die "nginx does not listen on its $kind port"
        printf 'TW_NGINX_TLS_%s=%s\n' "$kind" "${TLS_PORTS[$i]}" >>"$ENV_TMP"
      done
      return 0
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    grep -q "Address already in use" "$NGINX_DIR"/{error.log,nginx.out} 2>/dev/null ||
      die "nginx did not start: $(cat "$NGINX_DIR"/{error.log,nginx.out} 2>/dev/null)"
  done
  die "nginx found no free port"
}

# --- start and stop ---------------------------------------------------------------------

stop_all() {
  local f pid dir
  for f in "$STATE"/*.pid; do
    [[ -e $f ]] || continue
    pid=$(cat "$f")
    if kill -TERM "$pid" 2>/dev/null; then
      for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null && sleep 0.05 || break; done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$f"
  done
  [[ -f $STATE/peers.env ]] || return 0
  dir=$(sed -n 's/^TW_PEERS_DIR=//p' "$STATE/peers.env")
  [[ -n $dir && -d $dir ]] && rm -rf "$dir"
  rm -f "$STATE/peers.env"
}

cmd=${1:-}
STATE=${2:-}
[[ $cmd =~ ^(start|stop)$ && -n $STATE ]] || die "usage: peers.sh start|stop STATE_DIR"
mkdir -p "$STATE"
STATE=$(cd "$STATE" && pwd)
stop_all  # on start: whatever a previous run left behind
[[ $cmd == stop ]] && exit 0
# A start that fails part-way leaves nothing running.
trap 'rc=$?; if [[ $rc -ne 0 ]]; then stop_all; fi; exit $rc' EXIT
PEERS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-peers.XXXXXX")
chmod 755 "$PEERS_DIR"
ENV_TMP="$STATE/peers.env.tmp"
echo "TW_PEERS_DIR=$PEERS_DIR" >"$ENV_TMP"
# Written first, so that a failed start is cleaned up by stop.
cp "$ENV_TMP" "$STATE/peers.env"
for peer in "${PEERS[@]}"; do "start_$peer"; done
mv "$ENV_TMP" "$STATE/peers.env"
cat "$STATE/peers.env"
