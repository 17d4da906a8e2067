# Sourced by the scripts that take the README's pictures, with the program to
# picture as their first argument (default: the build's): a local mosquitto on
# a free loopback port ($port) and an Xvfb ($DISPLAY), both stopped, and the
# work folder ($work) removed, when the script ends.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
program=${1:-$root/build/src/app/vyr-mqtt}
[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A loopback port nothing listens on, for the broker.
while :; do
  port=$((20000 + RANDOM % 40000))
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
done
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" > "$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" > "$work/mosquitto.log" 2>&1 &
pids+=($!)

exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

# Publishes retained topic=value pairs, so that they arrive the moment the
# window subscribes.
publish_retained() {
  for pair in "$@"; do
    mosquitto_pub -h 127.0.0.1 -p "$port" -r -t "${pair%%=*}" -m "${pair#*=}"
  done
}

# Starts the program from $work (its data files go there), connects it to the
# broker and subscribes to home/#, all through the keyboard; $window is its
# window.
key() { xdotool key --delay 60 "$@"; }
start_connected() {
  cp "$program" "$work/vyr-mqtt"
  (cd "$work" && QT_QPA_PLATFORM=xcb ./vyr-mqtt > "$work/app.log" 2>&1) &
  pids+=($!)
  window=
  for _ in $(seq 100); do
    window=$(xdotool search --name "Vyr MQTT Client v2.1" 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.2
  done
  [ -n "$window" ] || { echo "no window" >&2; exit 1; }
  xdotool windowfocus --sync "$window"
  key alt+b ctrl+a; xdotool type --delay 20 127.0.0.1
  key alt+p ctrl+a; xdotool type --delay 20 "$port"
  key alt+l shift+Tab Right space   # Use SSL: No
  key alt+c
  mosquitto_sub -h 127.0.0.1 -p "$port" -t "Vyr/+/status" -C 1 -W 30 > /dev/null
  key alt+n Tab Tab Tab Tab; xdotool type --delay 20 'home/#'
  key shift+Tab space
  sleep 2
}
