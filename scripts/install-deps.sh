#!/usr/bin/env bash
# Installs the Debian packages this project needs to build, run and test,
# skipping those already present. Runs as root or through sudo.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  qt6-base-dev libgl-dev libxkbcommon-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  mosquitto mosquitto-clients
  xvfb xdotool x11-apps imagemagick fonts-dejavu-core fonts-liberation
  procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The second test broker runs on Node.js; a machine may carry its own build with npm inside.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
