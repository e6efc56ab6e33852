#!/usr/bin/env bash
# Installs the Debian packages the build and the C++ tests need, when missing.
set -euo pipefail
need=()
for pkg in libeigen3-dev liberfa-dev libgtest-dev ninja-build cmake g++; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi
