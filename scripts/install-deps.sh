#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when they are missing.
set -euo pipefail
case ${1:-} in
  -h | --help) echo "usage: scripts/install-deps.sh   installs the missing Debian packages (as root, or with sudo)"; exit 0 ;;
  "") ;;
  *) echo "install-deps.sh: takes no arguments (-h for help)" >&2; exit 2 ;;
esac
packages=(cmake g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev libspeexdsp-dev
          openjdk-17-jdk-headless clang libclang-rt-14-dev sip-tester kamailio iproute2 util-linux python3
          baresip-core linphone-cli
          xdg-utils libglib2.0-bin
          xvfb libx11-6
          libasound2-dev multimon-ng sox espeak-ng)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  # apt's progress goes to a log that is shown only when a step fails.
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  step() {
    if ! "$@" > "$log" 2>&1; then
      echo "install-deps.sh: failed: $*" >&2
      tail -n 40 "$log" >&2
      exit 1
    fi
  }
  step $sudo_cmd apt-get update -qq
  step $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  echo "installed ${#missing[@]} packages"
fi
