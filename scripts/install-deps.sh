#!/usr/bin/env bash
# Installs the build and test dependencies with apt-get, only when something is missing.
# Idempotent and non-interactive; run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake pkg-config ccache
  libmariadb-dev mariadb-server mariadb-client
  libssl-dev openssl
  libgtest-dev googletest
  python3 python3-aiosmtpd
  clang libclang-rt-dev
  iproute2 procps
  libcurl4-openssl-dev nlohmann-json3-dev libsystemd-dev systemd
  debhelper dpkg-dev lintian fakeroot
  python3-prometheus-client
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all dependencies present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# The server package must not start or enable a system-wide MariaDB: tests run their own.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
