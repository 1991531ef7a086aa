#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when they are missing.
set -euo pipefail
packages=(cmake g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev libspeexdsp-dev
          openjdk-17-jdk-headless clang libclang-rt-14-dev sip-tester kamailio iproute2 util-linux python3)
# The in-band key test decodes the audio on the wire with multimon-ng (which reads WAV files through sox).
packages+=(multimon-ng sox)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
