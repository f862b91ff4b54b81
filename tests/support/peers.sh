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
# tests may add pages under change/). A further peer is one more
# start_<name> function, named in PEERS, that starts the program, records
# its process id in STATE/<name>.pid, calls wait_listening and adds its
# lines to ENV_TMP.
set -euo pipefail

PEERS=(nginx)

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
  access_log $NGINX_DIR/access.log;
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
  }
}
EOF
}

start_nginx() {
  command -v nginx >/dev/null || die "nginx is not installed (apt-get install nginx-light)"
  NGINX_DIR="$PEERS_DIR/nginx"
  mkdir -p "$NGINX_DIR/tmp"
  make_nginx_docroot "$PEERS_DIR/www"
  local port pid
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    nginx_config "$port"
    # Its own session, so that the test runner does not wait on it; all
    # output to files.
    setsid nginx -p "$NGINX_DIR" -e "$NGINX_DIR/error.log" -c "$NGINX_DIR/nginx.conf" \
      -g 'daemon off;' </dev/null >"$NGINX_DIR/nginx.out" 2>&1 &
    pid=$!
    echo "$pid" >"$STATE/nginx.pid"
    if wait_listening "$pid" "$port"; then
      printf 'TW_NGINX_PORT=%s\nTW_NGINX_ROOT=%s\n' "$port" "$PEERS_DIR/www" >>"$ENV_TMP"
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
