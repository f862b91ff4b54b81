#!/usr/bin/env bash
# Real peers for the end-to-end tests, from Debian's packages, on loopback
# only, each in the foreground with a configuration generated into its own
# folder of a temporary directory (logs there too).
#
#   peers.sh start STATE_DIR [PEER...]   start the peers (all of PEERS, or those
#                                        named) at once, write STATE_DIR/peers.env
#   peers.sh stop STATE_DIR              stop them by process id, remove what they made
#
# peers.env (mode 0600; KEY=VALUE lines without blanks or shell characters):
#   TW_PEERS_DIR       the peers' temporary directory: configs, logs
#   nginx:  TW_NGINX_PORT (127.0.0.1), TW_NGINX_ROOT (its document root; tests
#     may add pages under change/), TW_TEST_CA (the certificates of test_ca.sh),
#     TW_NGINX_TLS_<KIND>: HTTPS servers of the same pages on 127.0.0.1 and ::1,
#     one per line of TLS_SERVERS; TW_NGINX_BASIC_PATH, a page under Basic
#     authentication for TW_HTTP_USER / TW_HTTP_PASSWORD and TW_HTTP_UTF8_USER /
#     TW_HTTP_UTF8_PASSWORD (a password in UTF-8 beyond ASCII)
#   apache: TW_APACHE_PORT (127.0.0.1), TW_APACHE_DIGEST_PATH, a page under
#     Digest authentication (qop auth) in realm TW_HTTP_REALM for TW_HTTP_USER
#   squid:  HTTP proxies on 127.0.0.1 to 127.0.0.1 and ::1 only (any port):
#     TW_SQUID_PLAIN_PORT (no authentication), TW_SQUID_BASIC_PORT and
#     TW_SQUID_DIGEST_PORT (realm TW_HTTP_REALM) for TW_PROXY_USER /
#     TW_PROXY_PASSWORD, TW_SQUID_NTLM_PORT (any user and password)
#   dante:  on 127.0.0.1, to 127.0.0.0/8 and ::1 only: TW_DANTE_PORT (SOCKS 4
#     and 5, no authentication), TW_DANTE_USER_PORT (SOCKS 5 for TW_DANTE_USER /
#     TW_DANTE_PASSWORD, a system account made for the run, so as root only;
#     otherwise TW_DANTE_USER_SKIP says why there is none)
#
# A further peer is a start_<name> function, named in PEERS: it makes its
# folder and calls launch (configuration, start, pid in STATE/<name>.pid, wait
# until it listens), then adds its lines to ENV_TMP. The peers start in parallel.
set -euo pipefail

PEERS=(nginx apache squid dante kerberos)

source "$(dirname "${BASH_SOURCE[0]}")/peers_kerberos.sh"

# The test credentials (the SOCKS account's password is drawn per run).
HTTP_USER=tw
HTTP_PASSWORD=tw-secret
HTTP_UTF8_USER=tw-utf8
HTTP_UTF8_PASSWORD=pässwörd-ŧ€st
HTTP_REALM=tw-realm

die() { echo "peers.sh: $*" >&2; exit 1; }

# True when something accepts connections on 127.0.0.1:port.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A port on 127.0.0.1 on which nothing listens now and that no peer of this
# start has taken (they start in parallel: the list is kept under a lock).
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    listening "$p" && continue
    (flock 9; ! grep -qsx "$p" "$STATE/ports.taken" && echo "$p" >>"$STATE/ports.taken") \
      9>>"$STATE/ports.lock" && { echo "$p"; return 0; }
  done
  die "no free loopback port found"
}

# Waits until the process is listening on the port (10 s at most: the
# peers start together on a busy machine). Fails when the process has
# ended or the time is up.
wait_listening() {
  for _ in $(seq 1 200); do
    kill -0 "$1" 2>/dev/null || return 1
    listening "$2" && return 0
    sleep 0.05
  done
  return 1
}

# launch NAME DIR NPORTS CONFIG CMD...: takes NPORTS free ports into PORTS,
# calls CONFIG to write the configuration, starts CMD in its own session (so
# that the test runner does not wait on it; output to DIR/NAME.out), records
# its pid in STATE/NAME.pid and waits until it listens on every port. A port
# taken meanwhile means new ports (5 tries); any other failure ends the
# start with the peer's logs (DIR/*.log and DIR/*.out).
launch() {
  local name=$1 dir=$2 nports=$3 config=$4 pid p up
  shift 4
  for _ in 1 2 3 4 5; do
    PORTS=()
    for _ in $(seq 1 "$nports"); do PORTS+=("$(free_port)"); done
    rm -f "$dir"/*.log "$dir"/*.out
    "$config"
    setsid "$@" </dev/null >"$dir/$name.out" 2>&1 &
    pid=$!
    echo "$pid" >"$STATE/$name.pid"
    up=1
    for p in "${PORTS[@]}"; do wait_listening "$pid" "$p" || { up=0; break; }; done
    [[ $up -eq 1 ]] && return 0
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    grep -qs "Address already in use" "$dir"/*.log "$dir"/*.out ||
      die "$name did not start: $(cat "$dir"/*.log "$dir"/*.out 2>/dev/null)"
  done
  die "$name found no free port"
}

# needs PROGRAM PACKAGE: dies unless PROGRAM (a name or a path) can run.
needs() { command -v "$1" >/dev/null || die "$1 is missing (apt-get install $2)"; }

# True when ::1 exists (a system may run without IPv6).
ipv6_loopback() { grep -qs '^0\{31\}1 ' /proc/net/if_inet6; }

# --- nginx ---------------------------------------------------------------------------

# filler_page FILE SIZE TEXT: filler lines cut to SIZE bytes in all, ending in TEXT.
filler_page() {
  { yes 'Filler line of the big test page.' | head -c $(($2 - ${#3})) || true; printf '%s' "$3"; } >"$1"
}

# The document root: one page for each kind of answer the tests need.
make_nginx_docroot() {
  local www=$1
  mkdir -p "$www"/{gzip,gzstatic,chunked,big,nul,slow,change,basic}
  printf '<html><body><h1>Tarnwick test page</h1><p>Plain text here.</p></body></html>\n' \
    >"$www/plain.html"
  printf '<html><body><p>Behind Basic authentication.</p></body></html>\n' >"$www/basic/index.html"
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
  # The first port is the plain server's, the others the HTTPS servers'.
  TLS_PORTS=("${PORTS[@]:1}")
  # nginx started as root hands the requests to an unprivileged worker.
  cat >"$NGINX_DIR/nginx.conf" <<EOF
$([[ $EUID -eq 0 ]] && echo "user nobody nogroup;")
worker_processes 1;
pid $NGINX_DIR/nginx.pid;
error_log $NGINX_DIR/error.log;
events { worker_connections 512; }
http {
  log_format tls '\$request \$status tls=\$ssl_protocol reused=\$ssl_session_reused';
  access_log $NGINX_DIR/access.log tls;
$(for t in client_body proxy fastcgi uwsgi scgi; do echo "  ${t}_temp_path $NGINX_DIR/tmp/${t#client_};"; done)
  types { text/html html; text/plain txt; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:${PORTS[0]};
    server_name localhost;
    root $PEERS_DIR/www;
    location /gzip/ { gzip on; gzip_min_length 1; gzip_types text/html; }
    location /gzstatic/ { gzip_static always; }
    location /chunked/ { ssi on; }
    location /slow/ { limit_rate 65536; }
    location /basic/ { auth_basic "$HTTP_REALM"; auth_basic_user_file $NGINX_DIR/htpasswd; }
    # Redirects keep the query, which tags each request in the access log.
    location = /rel/up { absolute_redirect off; return 302 ../plain.html?\$args; }
    location = /to-https { return 302 https://localhost:${TLS_PORTS[0]}/plain.html?\$args; }
  }
$(tls_servers)
}
EOF
}

start_nginx() {
  needs nginx nginx-light
  needs openssl openssl
  NGINX_DIR="$PEERS_DIR/nginx"
  mkdir -p "$NGINX_DIR/tmp"
  # The certificates are made while the pages are written.
  CA="$PEERS_DIR/ca"
  bash "$(dirname "${BASH_SOURCE[0]}")/test_ca.sh" "$CA" >/dev/null &
  local ca_pid=$!
  make_nginx_docroot "$PEERS_DIR/www"
  # The htpasswd lines of the Basic page (apr1 hashes of the UTF-8 bytes).
  local user
  for user in "$HTTP_USER:$HTTP_PASSWORD" "$HTTP_UTF8_USER:$HTTP_UTF8_PASSWORD"; do
    printf '%s:%s\n' "${user%%:*}" "$(openssl passwd -apr1 "${user#*:}")"
  done >"$NGINX_DIR/htpasswd"
  chmod 644 "$NGINX_DIR/htpasswd"
  wait "$ca_pid" || die "test_ca.sh failed"
  chmod -R a+rX "$CA"
  launch nginx "$NGINX_DIR" $((1 + ${#TLS_SERVERS[@]})) nginx_config \
    nginx -p "$NGINX_DIR" -e "$NGINX_DIR/error.log" -c "$NGINX_DIR/nginx.conf" -g 'daemon off;'
  printf 'TW_NGINX_PORT=%s\nTW_NGINX_ROOT=%s\nTW_TEST_CA=%s\n' "${PORTS[0]}" "$PEERS_DIR/www" \
    "$CA" >>"$ENV_TMP"
  local i
  for i in "${!TLS_SERVERS[@]}"; do
    printf 'TW_NGINX_TLS_%s=%s\n' "${TLS_SERVERS[$i]%% *}" "${TLS_PORTS[$i]}" >>"$ENV_TMP"
  done
  echo "TW_NGINX_BASIC_PATH=/basic/" >>"$ENV_TMP"
}

# --- apache ----------------------------------------------------------------------------

APACHE_MODULES=/usr/lib/apache2/modules
# Those not built into Debian's apache2 (log_config and unixd are).
APACHE_LOAD=(mpm_event authz_core authz_user authn_core authn_file auth_digest mime dir)

apache_config() {
  cat >"$APACHE_DIR/apache.conf" <<EOF2
ServerRoot $APACHE_DIR
ServerName 127.0.0.1
Listen 127.0.0.1:${PORTS[0]}
PidFile $APACHE_DIR/apache.pid
DefaultRuntimeDir $APACHE_DIR/run
Mutex file:$APACHE_DIR/run default
ErrorLog $APACHE_DIR/error.log
LogLevel warn auth_digest:info
$(for m in "${APACHE_LOAD[@]}"; do echo "LoadModule ${m}_module $APACHE_MODULES/mod_$m.so"; done)
$([[ $EUID -eq 0 ]] && printf 'User nobody\nGroup nogroup')
StartServers 1
ServerLimit 1
ThreadsPerChild 16
MaxRequestWorkers 16
MinSpareThreads 1
MaxSpareThreads 16
HostnameLookups Off
LogFormat "%r %>s auth=%{Authorization}i" tw
CustomLog $APACHE_DIR/access.log tw
TypesConfig /dev/null
AddType text/html .html
DirectoryIndex index.html
DocumentRoot $APACHE_DIR/www
<Directory $APACHE_DIR/www>
  Require all granted
</Directory>
<Location /digest/>
  AuthType Digest
  AuthName "$HTTP_REALM"
  AuthDigestDomain /digest/
  AuthDigestProvider file
  AuthUserFile $APACHE_DIR/htdigest
  Require valid-user
</Location>
EOF2
}

start_apache() {
  needs apache2 apache2
  local m
  for m in "${APACHE_LOAD[@]}"; do
    [[ -f $APACHE_MODULES/mod_$m.so ]] || die "apache2's module $m is missing (apt-get install apache2)"
  done
  APACHE_DIR="$PEERS_DIR/apache"
  mkdir -p "$APACHE_DIR/run" "$APACHE_DIR/www/digest"
  printf '<html><body><p>Behind Digest authentication.</p></body></html>\n' \
    >"$APACHE_DIR/www/digest/index.html"
  # The htdigest line: user, realm and the MD5 of user:realm:password.
  printf '%s:%s:%s\n' "$HTTP_USER" "$HTTP_REALM" \
    "$(printf '%s' "$HTTP_USER:$HTTP_REALM:$HTTP_PASSWORD" | md5sum | cut -d' ' -f1)" \
    >"$APACHE_DIR/htdigest"
  chmod -R a+rX "$APACHE_DIR"
  launch apache "$APACHE_DIR" 1 apache_config apache2 -DFOREGROUND -f "$APACHE_DIR/apache.conf"
  printf 'TW_APACHE_PORT=%s\nTW_APACHE_DIGEST_PATH=/digest/\n' "${PORTS[0]}" >>"$ENV_TMP"
}

# --- squid -----------------------------------------------------------------------------

SQUID_HELPERS=/usr/lib/squid

# The authentication lines of each kind of proxy.
squid_auth() {
  case $1 in
    plain) ;;
    basic) echo "auth_param basic program $SQUID_HELPERS/basic_ncsa_auth $SQUID_DIR/passwd"
           echo "auth_param basic realm $HTTP_REALM" ;;
    digest) echo "auth_param digest program $SQUID_HELPERS/digest_file_auth $SQUID_DIR/passwd"
            echo "auth_param digest realm $HTTP_REALM" ;;
    ntlm) echo "auth_param ntlm program $SQUID_DIR/ntlm_helper" ;;
  esac
  if [[ $1 != plain ]]; then
    echo "auth_param $1 children 2 startup=1 idle=1"
    echo "acl tw_authenticated proxy_auth REQUIRED"
    echo "http_access allow tw_authenticated"
  else
    echo "http_access allow all"
  fi
}

squid_config() {
  cat >"$SQUID_DIR/squid.conf" <<EOF2
visible_hostname tarnwick-test
http_port 127.0.0.1:${PORTS[0]}
pid_filename $SQUID_DIR/squid.pid
cache_log $SQUID_DIR/cache.log
logformat tw %rm %ru %>Hs port=%>p user=%un auth=%{Proxy-Authorization}>h
access_log stdio:$SQUID_DIR/access.log tw
coredump_dir $SQUID_DIR
$([[ $EUID -eq 0 ]] && echo "cache_effective_user proxy")
# No disk cache, nothing kept in memory, no outside lookups, a quick stop.
cache deny all
cache_mem 1 MB
dns_nameservers 127.0.0.1
pinger_enable off
netdb_filename none
max_filedescriptors 1024
shutdown_lifetime 0 seconds
# Whole URLs in the log: tests tag their requests with a query.
strip_query_terms off
acl tw_clients src 127.0.0.0/8 ::1
acl tw_targets dst 127.0.0.0/8 ::1
http_access deny !tw_clients
http_access deny !tw_targets
$(squid_auth "$SQUID_KIND")
http_access deny all
EOF2
}

# squid's fake NTLM helper writes the target name offset of its challenge
# as 0xaaaaaaae, far outside the message, which a client that checks the
# fields refuses. This filter between squid and the helper puts the offset
# where the name lies: right after the 40-byte fixed part.
ntlm_helper() {
  printf '#!/usr/bin/env bash\ncoproc helper { exec %s/ntlm_fake_auth; }\n' "$SQUID_HELPERS"
  cat <<'EOF2'
while IFS= read -r line; do
  printf '%s\n' "$line" >&"${helper[1]}"
  IFS= read -r reply <&"${helper[0]}" || exit 0
  if [[ $reply == "TT "* ]]; then
    hex=$(printf '%s' "${reply:3}" | base64 -d | xxd -p | tr -d '\n')
    reply="TT $(printf '%s' "${hex:0:32}28000000${hex:40}" | xxd -r -p | base64 -w0)"
  fi
  printf '%s\n' "$reply"
done
EOF2
}

# start_squid_kind KIND: one squid of that kind.
start_squid_kind() {
  SQUID_KIND=$1
  SQUID_DIR="$PEERS_DIR/squid-$SQUID_KIND"
  mkdir -p "$SQUID_DIR"
  # basic_ncsa_auth reads crypt hashes, digest_file_auth plain passwords.
  case $SQUID_KIND in
    basic) printf '%s:%s\n' "$HTTP_USER" "$(openssl passwd -apr1 "$HTTP_PASSWORD")" ;;
    digest) printf '%s:%s\n' "$HTTP_USER" "$HTTP_PASSWORD" ;;
  esac >"$SQUID_DIR/passwd"
  [[ $SQUID_KIND == ntlm ]] && ntlm_helper >"$SQUID_DIR/ntlm_helper" &&
    chmod 0755 "$SQUID_DIR/ntlm_helper"
  [[ $EUID -eq 0 ]] && chown -R proxy:proxy "$SQUID_DIR"
  launch "squid-$SQUID_KIND" "$SQUID_DIR" 1 squid_config squid -N -f "$SQUID_DIR/squid.conf"
  echo "TW_SQUID_${SQUID_KIND^^}_PORT=${PORTS[0]}" >>"$ENV_TMP"
}

start_squid() {
  needs squid squid
  needs xxd xxd  # the NTLM helper's filter
  local helper
  for helper in basic_ncsa_auth digest_file_auth ntlm_fake_auth; do
    needs "$SQUID_HELPERS/$helper" squid
  done
  in_parallel start_squid_kind plain basic digest ntlm
}

# --- dante -----------------------------------------------------------------------------

dante_config() {
  cat >"$DANTE_DIR/danted.conf" <<EOF2
logoutput: $DANTE_DIR/danted.log
internal: 127.0.0.1 port = ${PORTS[0]}
external: 127.0.0.1
$(ipv6_loopback && echo "external: ::1")
clientmethod: none
socksmethod: $DANTE_METHOD
$([[ $EUID -eq 0 ]] && printf 'user.privileged: root\nuser.unprivileged: nobody')
client pass {
  from: 127.0.0.0/8 to: 127.0.0.0/8
  log: error
}
$(for to in 127.0.0.0/8 $(ipv6_loopback && echo ::1/128); do
    printf 'socks pass {\n  from: 127.0.0.0/8 to: %s\n  command: connect\n  log: connect error\n}\n' "$to"
  done)
EOF2
}

# start_dante_kind KIND: open (no authentication) or user (a user name and
# password, checked against a system account made here).
start_dante_kind() {
  local kind=$1 name=dante user="" password=""
  DANTE_METHOD=none
  if [[ $kind == user ]]; then
    name=dante-user
    DANTE_METHOD=username
    if [[ $EUID -ne 0 ]]; then
      echo "TW_DANTE_USER_SKIP=not-root,no-system-account-for-the-SOCKS-user" >>"$ENV_TMP"
      return 0
    fi
    needs useradd passwd
    # No home, no shell, a random name and password; its name is recorded
    # first, so that stop removes it whatever happens next.
    user="tw-socks-$RANDOM$RANDOM"
    password=$(openssl rand -hex 12)
    echo "$user" >"$STATE/dante.account"
    useradd -M -r -s /usr/sbin/nologin "$user"
    printf '%s:%s\n' "$user" "$password" | chpasswd
  fi
  DANTE_DIR="$PEERS_DIR/$name"
  mkdir -p "$DANTE_DIR"
  launch "$name" "$DANTE_DIR" 1 dante_config \
    danted -f "$DANTE_DIR/danted.conf" -p "$DANTE_DIR/danted.pid"
  if [[ $kind == user ]]; then
    printf 'TW_DANTE_USER_PORT=%s\nTW_DANTE_USER=%s\nTW_DANTE_PASSWORD=%s\n' "${PORTS[0]}" \
      "$user" "$password" >>"$ENV_TMP"
  else
    echo "TW_DANTE_PORT=${PORTS[0]}" >>"$ENV_TMP"
  fi
}

start_dante() {
  needs danted dante-server
  in_parallel start_dante_kind open user
}

# --- start and stop ---------------------------------------------------------------------

# in_parallel FUNCTION ARG...: runs FUNCTION ARG for every ARG at once, each
# in a subshell adding its lines to ENV_TMP.ARG; then appends those to
# ENV_TMP in ARG order. Fails when any of them failed.
in_parallel() {
  local fn=$1 arg pid pids=() rc=0
  shift
  for arg; do
    (umask 077; : >"$ENV_TMP.$arg")
    (ENV_TMP="$ENV_TMP.$arg"; "$fn" "$arg") &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || rc=1; done
  [[ $rc -eq 0 ]] || return 1
  for arg; do cat "$ENV_TMP.$arg"; rm -f "$ENV_TMP.$arg"; done >>"$ENV_TMP"
}

start_peer() { "start_$1"; }

# Removes the SOCKS account a start made (only a name of the form it uses).
remove_account() {
  local user
  [[ -f $STATE/dante.account ]] || return 0
  user=$(cat "$STATE/dante.account")
  if [[ $user =~ ^tw-socks-[0-9]+$ ]] && id "$user" >/dev/null 2>&1; then
    userdel "$user"
  fi
  rm -f "$STATE/dante.account"
}

# True while one of the processes runs.
any_alive() {
  local pid
  for pid; do kill -0 "$pid" 2>/dev/null && return 0; done
  return 1
}

# Asks every peer to end at once (squid takes seconds to), gives them 5 s
# in all, then kills what is left.
stop_all() {
  local f pid dir pids=()
  for f in "$STATE"/*.pid; do
    [[ -e $f ]] || continue
    pid=$(cat "$f")
    kill -TERM "$pid" 2>/dev/null && pids+=("$pid")
    rm -f "$f"
  done
  for _ in $(seq 1 100); do
    any_alive "${pids[@]}" || break
    sleep 0.05
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  remove_account
  rm -f "$STATE"/peers.env.tmp* "$STATE"/ports.{taken,lock}
  [[ -f $STATE/peers.env ]] || return 0
  dir=$(sed -n 's/^TW_PEERS_DIR=//p' "$STATE/peers.env")
  [[ -n $dir && -d $dir ]] && rm -rf "$dir"
  rm -f "$STATE/peers.env"
}

cmd=${1:-}
STATE=${2:-}
[[ $cmd =~ ^(start|stop)$ && -n $STATE ]] || die "usage: peers.sh start|stop STATE_DIR [PEER...]"
wanted=("${@:3}")
[[ ${#wanted[@]} -gt 0 ]] || wanted=("${PEERS[@]}")
for peer in "${wanted[@]}"; do
  [[ " ${PEERS[*]} " == *" $peer "* ]] || die "unknown peer: $peer (known: ${PEERS[*]})"
done
mkdir -p "$STATE"
STATE=$(cd "$STATE" && pwd)
stop_all  # on start: whatever a previous run left behind
[[ $cmd == stop ]] && exit 0
# A start that fails part-way leaves nothing running.
trap 'rc=$?; if [[ $rc -ne 0 ]]; then stop_all; fi; exit $rc' EXIT
PEERS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-peers.XXXXXX")
chmod 755 "$PEERS_DIR"
ENV_TMP="$STATE/peers.env.tmp"
# Only its owner reads it: it holds passwords.
(umask 077; echo "TW_PEERS_DIR=$PEERS_DIR" >"$ENV_TMP")
# Written first, so that a failed start is cleaned up by stop.
cp "$ENV_TMP" "$STATE/peers.env"
{
  printf 'TW_HTTP_USER=%s\nTW_HTTP_PASSWORD=%s\nTW_HTTP_REALM=%s\n' "$HTTP_USER" "$HTTP_PASSWORD" \
    "$HTTP_REALM"
  printf 'TW_HTTP_UTF8_USER=%s\nTW_HTTP_UTF8_PASSWORD=%s\n' "$HTTP_UTF8_USER" "$HTTP_UTF8_PASSWORD"
  printf 'TW_PROXY_USER=%s\nTW_PROXY_PASSWORD=%s\n' "$HTTP_USER" "$HTTP_PASSWORD"
} >>"$ENV_TMP"
in_parallel start_peer "${wanted[@]}"
rm -f "$STATE"/ports.{taken,lock}
mv "$ENV_TMP" "$STATE/peers.env"
# Passwords are not shown.
sed "s/PASSWORD=.*/PASSWORD=(hidden)/" "$STATE/peers.env"
