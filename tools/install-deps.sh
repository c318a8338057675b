#!/usr/bin/env bash
# Installs what building, testing and fuzzing need, from Debian's packages. Run as root.
# (valgrind: the benches count instructions with callgrind and include its client header.)
# (libisal-dev: the compression filter deflates and inflates with ISA-L where it is found.)
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config \
  libxml2-dev libxmlsec1-dev libxmlsec1-openssl libssl-dev openssl zlib1g-dev libisal-dev \
  libgtest-dev xmlsec1 locales ca-certificates clang-format \
  qt6-base-dev qt6-svg-dev qt6-translations-l10n libgl-dev xvfb xauth fonts-dejavu-core \
  dpkg-dev file haproxy socat python3 valgrind \
  libp11-kit-dev p11-kit softhsm2 opensc
