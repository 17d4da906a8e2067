#!/usr/bin/env bash
# Installs the Debian packages of one set, skipping those already present.
# Runs as root or through sudo.
#   run      building and running the programs (scripts/run.sh)
#   package  building and checking the Debian package (scripts/package.sh)
#   test     everything the tests need (scripts/test.sh); the default
set -euo pipefail
set_name=${1:-test}

build=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev libxkbcommon-dev libssl-dev libwslay-dev
)
run=("${build[@]}" openssl mosquitto)
# dpkg-shlibdeps (dpkg-dev) and file find the libraries the programs need.
package=("${build[@]}" dpkg-dev file lintian)
test=(
  "${run[@]}" dpkg-dev file lintian desktop-file-utils man-db
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  mosquitto-clients tinyproxy microsocks dante-server
  xvfb xdotool x11-apps x11-utils xclip imagemagick fonts-dejavu-core fonts-liberation
  procps logrotate
  python3-pyatspi at-spi2-core dbus-x11 python3
)

case "$set_name" in
  run) packages=("${run[@]}") ;;
  package) packages=("${package[@]}") ;;
  test) packages=("${test[@]}") ;;
  *) echo "usage: $0 [run|package|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The second test broker runs on Node.js; a machine may carry its own build with npm inside.
if [ "$set_name" = test ]; then
  command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
