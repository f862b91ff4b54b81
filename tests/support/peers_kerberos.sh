# Kerberos peers, sourced by peers.sh (peer "kerberos"): a KDC for realm TW.TEST and an apache
# that asks for Negotiate, both on 127.0.0.1 only, with no DNS lookups and
# no host name canonicalisation.
#
# peers.env: TW_KRB5_CONFIG (the client profile), TW_KRB5_CONFIG_NO_KDC (the
# same realm with its KDC on a port nothing listens on), TW_KDC_PORT,
# TW_KRB_USER and TW_KRB_REALM (a user with the password TW_KRB_PASSWORD),
# TW_APACHE_GSS_PORT (GET /gss/ needs Negotiate for HTTP/localhost).
# Without the Kerberos or apache packages the peer is left out with a note,
# and the tests that need it skip.

KRB_REALM=TW.TEST

# krb5_profile KDC_PORT: the client profile.
krb5_profile() {
  cat <<EOF
[libdefaults]
  default_realm = $KRB_REALM
  dns_lookup_kdc = false
  dns_lookup_realm = false
  dns_canonicalize_hostname = false
  rdns = false
[realms]
  $KRB_REALM = {
    kdc = 127.0.0.1:$1
    kdc = tcp/127.0.0.1:$1
  }
EOF
}

random_secret() { head -c 24 /dev/urandom | base64 | tr -d '/+='; }

start_kdc() {
  local tool
  for tool in krb5kdc kdb5_util kadmin.local; do
    if ! command -v "$tool" >/dev/null; then
      echo "peers.sh: $tool is missing (krb5-kdc, krb5-admin-server): no KDC" >&2
      return 0
    fi
  done
  local started=${EPOCHREALTIME/[.,]/} dir="$PEERS_DIR/kdc" port pid password
  mkdir -p "$dir"
  port=$(free_port)
  krb5_profile "$port" >"$dir/krb5.conf"
  krb5_profile "$(free_port)" >"$dir/krb5-nokdc.conf"
  cat >"$dir/kdc.conf" <<EOF
[kdcdefaults]
  kdc_listen = 127.0.0.1:$port
  kdc_tcp_listen = 127.0.0.1:$port
[realms]
  $KRB_REALM = {
    database_name = $dir/principal
    key_stash_file = $dir/stash
    acl_file = $dir/kadm5.acl
  }
[logging]
  kdc = FILE:$dir/kdc.log
EOF
  : >"$dir/kadm5.acl"
  password=$(random_secret)
  export KRB5_CONFIG="$dir/krb5.conf" KRB5_KDC_PROFILE="$dir/kdc.conf"
  kdb5_util create -s -r "$KRB_REALM" -P "$(random_secret)" >>"$dir/setup.log" 2>&1
  kadmin.local -q "addprinc -pw $password tw" >>"$dir/setup.log" 2>&1
  kadmin.local -q "addprinc -randkey HTTP/localhost" >>"$dir/setup.log" 2>&1
  kadmin.local -q "ktadd -k $dir/http.keytab HTTP/localhost" >>"$dir/setup.log" 2>&1
  # Its own session, so that the test runner does not wait on it.
  setsid krb5kdc -n </dev/null >"$dir/krb5kdc.out" 2>&1 &
  pid=$!
  unset KRB5_CONFIG KRB5_KDC_PROFILE
  echo "$pid" >"$STATE/kdc.pid"
  wait_listening "$pid" "$port" || die "krb5kdc did not start: $(cat "$dir"/*.out "$dir"/*.log 2>/dev/null)"
  # The apache worker runs as nobody and reads the service key.
  chmod a+r "$dir/http.keytab"
  printf 'TW_KRB5_CONFIG=%s\nTW_KRB5_CONFIG_NO_KDC=%s\nTW_KDC_PORT=%s\n' "$dir/krb5.conf" \
    "$dir/krb5-nokdc.conf" "$port" >>"$ENV_TMP"
  printf 'TW_KRB_USER=tw\nTW_KRB_REALM=%s\nTW_KRB_PASSWORD=%s\n' "$KRB_REALM" "$password" >>"$ENV_TMP"
  echo "peers.sh: the KDC started in $(((${EPOCHREALTIME/[.,]/} - started) / 1000)) ms" >&2
}

# The Negotiate server's configuration, on the port launch took.
apache_gss_config() {
  local m
  {
    for m in mpm_event authz_core authz_user authn_core dir auth_gssapi; do
      echo "LoadModule ${m}_module $GSS_MODULES/mod_$m.so"
    done
    cat <<EOF
ServerRoot $GSS_DIR
ServerName localhost
Listen 127.0.0.1:${PORTS[0]}
PidFile $GSS_DIR/apache.pid
DefaultRuntimeDir $GSS_DIR
Mutex file:$GSS_DIR default
ErrorLog $GSS_DIR/error.log
$([[ $(id -u) -eq 0 ]] && printf 'User nobody\nGroup nogroup')
DocumentRoot $GSS_DIR/www
<Location /gss/>
  AuthType GSSAPI
  AuthName "Tarnwick"
  GssapiCredStore keytab:$GSS_KEYTAB
  Require valid-user
</Location>
EOF
  } >"$GSS_DIR/apache.conf"
}

start_apache_gss() {
  GSS_DIR="$PEERS_DIR/apache-gss" GSS_MODULES=/usr/lib/apache2/modules
  GSS_KEYTAB="$PEERS_DIR/kdc/http.keytab"
  if [[ ! -f $GSS_KEYTAB ]] || ! command -v apache2 >/dev/null ||
     [[ ! -f $GSS_MODULES/mod_auth_gssapi.so ]]; then
    echo "peers.sh: no KDC, apache2 or mod_auth_gssapi: no Negotiate server" >&2
    return 0
  fi
  mkdir -p "$GSS_DIR/www/gss"
  echo 'Negotiated page' >"$GSS_DIR/www/gss/index.html"
  chmod -R a+rX "$GSS_DIR/www"
  launch apache-gss "$GSS_DIR" 1 apache_gss_config env KRB5_CONFIG="$PEERS_DIR/kdc/krb5.conf" \
    KRB5RCACHETYPE=none apache2 -DFOREGROUND -f "$GSS_DIR/apache.conf"
  echo "TW_APACHE_GSS_PORT=${PORTS[0]}" >>"$ENV_TMP"
}

# The KDC first: the Negotiate server reads the service key it makes.
start_kerberos() {
  start_kdc
  start_apache_gss
}
