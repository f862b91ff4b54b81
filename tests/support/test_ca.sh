#!/usr/bin/env bash
# Certificates for TLS tests: a test root CA, an intermediate CA and leaf
# certificates, all made with `openssl ca` and fixed dates (P-256 keys), so
# that every run gives the same verdicts.
#
#   tests/support/test_ca.sh OUTDIR
#
# OUTDIR receives (PEM): root.pem/.key, the test root CA; intermediate.pem/.key,
# a CA under it that signs the leaves; other-root.pem, a root nobody trusts;
# trust/, a hashed directory (openssl rehash) holding root.pem only; and for
# each leaf NAME.pem, NAME.key and NAME-chain.pem (the leaf and what a server
# sends with it). Leaves, valid 2020-2049 unless told otherwise:
#   valid         localhost, 127.0.0.1 and ::1; serverAuth (valid.pem alone:
#                 a leaf sent without its intermediate)
#   expired       like valid, but valid in 2010 only
#   wronghost     wrong.example only; subject O="Tests, Inc."
#   wildcard      *.tw.test
#   noserverauth  like valid, extended key usage clientAuth only
#   selfsigned    localhost, signed by its own key (chain: itself)
#   untrusted     localhost, signed by other-root (chain: leaf + other-root)
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
work=$(mktemp -d "$out/.ca.XXXXXX")
trap 'rm -rf "$work"' EXIT

export TW_SAN="DNS:localhost, IP:127.0.0.1, IP:::1" TW_EKU="serverAuth"

# One database for every signing CA: each signature names its CA's
# certificate and key.
mkdir "$work/new"
: >"$work/index.txt"
echo 1000 >"$work/serial"
cat >"$work/ca.cnf" <<EOF
[ ca ]
default_ca = this
[ this ]
dir = $work
database = \$dir/index.txt
new_certs_dir = \$dir/new
serial = \$dir/serial
default_md = sha256
policy = any
unique_subject = no
[ any ]
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

# sign CA NAME SUBJECT EXTENSIONS [DATES...]: a new key NAME.key and NAME.pem
# for it, signed by CA (CA = NAME: by itself), valid 2020-2049 unless DATES
# (openssl ca options) say otherwise.
sign() {
  local ca=$1 name=$2 subject=$3 ext=$4
  shift 4
  [ $# -gt 0 ] || set -- -startdate 20200101000000Z -enddate 20491231235959Z
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/$name.key"
  openssl req -new -key "$out/$name.key" -subj "$subject" -out "$work/$name.csr"
  local signer=(-cert "$out/$ca.pem" -keyfile "$out/$ca.key")
  [ "$ca" = "$name" ] && signer=(-selfsign -keyfile "$out/$name.key")
  openssl ca -batch -notext -preserveDN -config "$work/ca.cnf" "${signer[@]}" \
    -in "$work/$name.csr" -out "$out/$name.pem" -extensions "$ext" "$@" 2>/dev/null
}

sign root root "/C=DE/O=Tarnwick Test/CN=Tarnwick Test Root" ca_ext
sign other-root other-root "/C=DE/O=Elsewhere/CN=Untrusted Test Root" ca_ext
sign root intermediate "/C=DE/O=Tarnwick Test/CN=Tarnwick Test Intermediate" ca_ext
sign intermediate valid "/C=DE/O=Tarnwick Test/CN=localhost" leaf_ext
sign intermediate expired "/C=DE/O=Tarnwick Test/CN=localhost" leaf_ext \
  -startdate 20100101000000Z -enddate 20101231235959Z
TW_SAN="DNS:wrong.example" sign intermediate wronghost "/O=Tests, Inc./CN=wrong.example" leaf_ext
TW_SAN="DNS:*.tw.test" sign intermediate wildcard "/CN=*.tw.test" leaf_ext
TW_EKU="clientAuth" sign intermediate noserverauth "/CN=localhost" leaf_ext
sign selfsigned selfsigned "/CN=localhost" leaf_ext
sign other-root untrusted "/CN=localhost" leaf_ext

for name in valid expired wronghost wildcard noserverauth; do
  cat "$out/$name.pem" "$out/intermediate.pem" >"$out/$name-chain.pem"
done
cp "$out/selfsigned.pem" "$out/selfsigned-chain.pem"
cat "$out/untrusted.pem" "$out/other-root.pem" >"$out/untrusted-chain.pem"

rm -rf "$out/trust"
mkdir "$out/trust"
cp "$out/root.pem" "$out/trust/"
openssl rehash "$out/trust"
