#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run its demo.
# Idempotent: run it as often as you like (as root, on Debian 12).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh must run as root (it installs Debian packages)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; the answer does not matter to us.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections

apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    build-essential g++ cmake ninja-build pkg-config \
    libpcap-dev libmnl-dev nlohmann-json3-dev libfmt-dev \
    libgtest-dev libgmock-dev googletest libbenchmark-dev \
    clang clang-format \
    iproute2 linuxptp tshark procps util-linux mount \
    >/dev/null
echo "setup: all packages present"
