#!/usr/bin/env bash
# Certificates for TLS tests: a test root CA, an intermediate CA and leaf
# certificates, all made with `openssl ca` and fixed dates (P-256 keys), so
# that every run gives the same verdicts.
#
#   tests/support/test_ca.sh OUTDIR
#
# OUTDIR receives (PEM):
#   root.pem root.key                   the test root CA (the trust anchor)
#   intermediate.pem intermediate.key   a CA under the root; signs the leaves
#   other-root.pem                      a root nobody trusts
#   NAME.pem NAME.key NAME-chain.pem    a leaf, its key, the leaf followed by
#                                       the certificates a server sends with it
#   trust/                              a hashed directory (openssl rehash)
#                                       holding root.pem only
# The leaves (NAME), valid 2020-01-01 to 2049-12-31 unless told otherwise:
#   valid         localhost, 127.0.0.1 and ::1; serverAuth
#   expired       like valid, but valid in 2010 only
#   wronghost     wrong.example only; subject O="Tests, Inc."
#   wildcard      *.tw.test
#   noserverauth  like valid, extended key usage clientAuth only
#   selfsigned    localhost, signed by its own key (chain: itself)
#   untrusted     localhost, signed by other-root (chain: leaf + other-root)
# A leaf whose intermediate is not sent is valid.pem alone.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
work=$(mktemp -d "$out/.ca.XXXXXX")
trap 'rm -rf "$work"' EXIT

export TW_SAN="DNS:localhost, IP:127.0.0.1, IP:::1" TW_EKU="serverAuth"
LONG=(-startdate 20200101000000Z -enddate 20491231235959Z)

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/$1.key"; }

# ca_init NAME: the database and configuration of one signing CA.
ca_init() {
  local d=$work/$1
  mkdir -p "$d/new"
  : >"$d/index.txt"
  echo 1000 >"$d/serial"
  cat >"$d/ca.cnf" <<EOF
[ ca ]
default_ca = this
[ this ]
dir = $d
database = \$dir/index.txt
new_certs_dir = \$dir/new
serial = \$dir/serial
default_md = sha256
policy = any
unique_subject = no
email_in_dn = no
[ any ]
commonName = supplied
[ ca_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ leaf_ext ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = \${ENV::TW_EKU}
subjectAltName = \${ENV::TW_SAN}
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
}

# sign CA NAME SUBJECT EXTENSIONS [openssl ca options...]: NAME.pem from a
# request for NAME.key, signed by CA (or by itself with -selfsign).
sign() {
  local ca=$1 name=$2 subject=$3 ext=$4
  shift 4
  openssl req -new -key "$out/$name.key" -subj "$subject" -out "$work/$name.csr"
  local signer=(-cert "$out/$ca.pem" -keyfile "$out/$ca.key")
  [ "$ca" = "$name" ] && signer=(-selfsign -keyfile "$out/$name.key")
  [ -d "$work/$ca" ] || ca_init "$ca"
  openssl ca -batch -notext -preserveDN -config "$work/$ca/ca.cnf" "${signer[@]}" \
    -in "$work/$name.csr" -out "$out/$name.pem" -extensions "$ext" "$@" 2>/dev/null
}

key root
sign root root "/C=DE/O=Tarnwick Test/CN=Tarnwick Test Root" ca_ext "${LONG[@]}"
key other-root
sign other-root other-root "/C=DE/O=Elsewhere/CN=Untrusted Test Root" ca_ext "${LONG[@]}"
key intermediate
sign root intermediate "/C=DE/O=Tarnwick Test/CN=Tarnwick Test Intermediate" ca_ext "${LONG[@]}"

leaf_with() {  # leaf_with CA NAME SUBJECT DATES...: a leaf signed by CA
  local ca=$1 name=$2 subject=$3
  shift 3
  key "$name"
  sign "$ca" "$name" "$subject" leaf_ext "$@"
}

leaf_with intermediate valid "/C=DE/O=Tarnwick Test/CN=localhost" "${LONG[@]}"
leaf_with intermediate expired "/C=DE/O=Tarnwick Test/CN=localhost" \
  -startdate 20100101000000Z -enddate 20101231235959Z
TW_SAN="DNS:wrong.example" leaf_with intermediate wronghost "/O=Tests, Inc./CN=wrong.example" "${LONG[@]}"
TW_SAN="DNS:*.tw.test" leaf_with intermediate wildcard "/CN=*.tw.test" "${LONG[@]}"
TW_EKU="clientAuth" leaf_with intermediate noserverauth "/CN=localhost" "${LONG[@]}"
leaf_with selfsigned selfsigned "/CN=localhost" "${LONG[@]}"
leaf_with other-root untrusted "/CN=localhost" "${LONG[@]}"

for name in valid expired wronghost wildcard noserverauth; do
  cat "$out/$name.pem" "$out/intermediate.pem" >"$out/$name-chain.pem"
done
cp "$out/selfsigned.pem" "$out/selfsigned-chain.pem"
cat "$out/untrusted.pem" "$out/other-root.pem" >"$out/untrusted-chain.pem"

rm -rf "$out/trust"
mkdir "$out/trust"
cp "$out/root.pem" "$out/trust/"
openssl rehash "$out/trust"
