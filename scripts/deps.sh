#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh build|test
set -euo pipefail

BUILD_PKGS=(g++ cmake ninja-build pkg-config binutils libtclap-dev libcrypto++-dev zlib1g-dev
            libboost-dev libssl-dev libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev)
TEST_PKGS=(libgtest-dev libgmock-dev openssl util-linux procps nginx-light curl clang
           libclang-rt-14-dev)

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
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
