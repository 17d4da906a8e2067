#!/usr/bin/env bash
# Checks a built Debian package as a user would meet it: unpacked into a
# temporary root, both programs answer --version with the package's version,
# vyr-cli publishes and receives through a real mosquitto on loopback, the
# desktop entry validates, the manual pages render without warnings and every
# icon has the size its folder promises.
# Usage: check-package.sh build-pkg/vyr-mqtt_<version>_<arch>.deb
set -euo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
broker_pid=""
cleanup() {
  [ -n "$broker_pid" ] && kill "$broker_pid" 2>/dev/null && wait "$broker_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() { # name, command...
  local name=$1
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    echo "$out" | sed 's/^/     /'
  fi
}
same() { # expected, actual
  [ "$1" = "$2" ] || { echo "expected: $1"; echo "actual:   $2"; return 1; }
}

root=$work/root
dpkg-deb -x "$deb" "$root"
version=$(dpkg-deb -f "$deb" Version)
bin=$root/usr/bin

check "file name carries the version and architecture" \
  same "vyr-mqtt_${version}_$(dpkg-deb -f "$deb" Architecture).deb" "$(basename "$deb")"
check "vyr-cli --version" same "vyr-cli $version" "$("$bin/vyr-cli" --version)"
check "vyr-mqtt --version without a display" \
  same "vyr-mqtt $version" "$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$bin/vyr-mqtt" --version)"

# A mosquitto of our own on two free loopback ports, plain and TLS (with a
# certificate made now).
free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || break
  done
  echo "$p"
}
port=$(free_port)
tls_port=$(free_port)
[ "$tls_port" != "$port" ] || tls_port=$((port + 1))
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
  -keyout "$work/broker.key" -out "$work/broker.crt" 2> /dev/null
printf 'per_listener_settings false\nallow_anonymous true\nmax_queued_messages 0\nlistener %s 127.0.0.1\n' "$port" > "$work/mosquitto.conf"
printf 'listener %s 127.0.0.1\ncertfile %s\nkeyfile %s\n' "$tls_port" "$work/broker.crt" "$work/broker.key" >> "$work/mosquitto.conf"
[ "$(id -u)" -eq 0 ] && echo "user root" >> "$work/mosquitto.conf"
"$(command -v mosquitto || echo /usr/sbin/mosquitto)" -c "$work/mosquitto.conf" > "$work/mosquitto.log" 2>&1 &
broker_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
# The retained message reaches a subscriber that comes later; a live one reaches it too.
round_trip() {
  "$bin/vyr-cli" pub -h 127.0.0.1 -p "$port" -t pkg/check -q 1 -r -m "retained $version" -W 20 &&
    "$bin/vyr-cli" sub -h 127.0.0.1 -p "$port" -t 'pkg/#' -q 1 -v -C 1 -W 20 > "$work/sub.out" &&
    same "pkg/check retained $version" "$(cat "$work/sub.out")"
}
check "vyr-cli pub and sub through mosquitto" round_trip
# TLS comes from the package's own engine module, found from the installed program.
check "vyr-cli pub over TLS" "$bin/vyr-cli" pub -h 127.0.0.1 -p "$tls_port" --tls --insecure -t pkg/tls -q 1 -m sealed -W 20

check "desktop entry validates" bash "$here/../data/check-desktop-entry.sh" "$root/usr/share/applications/vyr-mqtt.desktop"
for page in vyr-mqtt vyr-cli; do
  check "man page $page renders without warnings" bash "$here/../data/check-man-page.sh" "$root/usr/share/man/man1/$page.1.gz"
  check "man page $page carries the version" zgrep -q "vyr\\\\-mqtt $version" "$root/usr/share/man/man1/$page.1.gz"
done
icon_sizes() {
  local dir size
  for dir in "$root"/usr/share/icons/hicolor/*x*/apps; do
    size=${dir%/apps}
    size=${size##*/}
    file "$dir/vyr-mqtt.png" | grep -q "PNG image data, ${size%x*} x ${size#*x}," || { file "$dir/vyr-mqtt.png"; return 1; }
  done
  [ -f "$root/usr/share/icons/hicolor/scalable/apps/vyr-mqtt.svg" ]
}
check "icons have the sizes of their folders" icon_sizes
check "copyright file holds the MIT license" grep -q "^License: MIT" "$root/usr/share/doc/vyr-mqtt/copyright"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
