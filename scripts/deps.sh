#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh build|test
set -euo pipefail

# libkrb5-dev: the GSS-API headers of the Negotiate loader.
BUILD_PKGS=(g++ cmake ninja-build pkg-config binutils libtclap-dev libcrypto++-dev zlib1g-dev
            libboost-dev libssl-dev libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev
            libkrb5-dev)
# The real peers of tests/support/peers.sh are among these: their packaged
# services must not start (below).
TEST_PKGS=(libgtest-dev libgmock-dev openssl util-linux procps nginx-light curl clang
           libclang-rt-14-dev squid apache2 apache2-utils libapache2-mod-auth-gssapi krb5-kdc
           krb5-admin-server krb5-user dante-server)
# The package, its man pages and the scheduler examples: Debian's packaging
# tools, groff, systemd-analyze, YAML for the Kubernetes manifests, and the
# Icinga 2 binary (no service of its own) for its configuration check.
# Nagios 4 is left out: it brings a mail server along, so its check skips.
TEST_PKGS+=(debhelper dpkg-dev fakeroot lintian groff-base groff systemd python3-yaml jq icinga2-bin)

pkgs=("${BUILD_PKGS[@]}")
if [[ "${1:-build}" == "test" ]]; then
  pkgs+=("${TEST_PKGS[@]}")
fi

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

# A policy-rc.d that exits 101 forbids every packaged service to start from
# the post-install scripts: the tests start their own instances on loopback.
# Only a policy we put in place is removed, whatever happens after.
policy=/usr/sbin/policy-rc.d
if [[ ! -e $policy && ! -L $policy ]]; then
  # noclobber: created only if still absent, never over another one.
  (set -o noclobber; printf '#!/bin/sh\nexit 101\n' >"$policy")
  trap 'rm -f "$policy"' EXIT
  chmod 755 "$policy"
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
