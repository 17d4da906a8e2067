#!/usr/bin/env bash
# Takes docs/window.png from the real program under Xvfb, connected to a local
# mosquitto on loopback with a few topics. Needs a built vyr-mqtt:
#   bash docs/make-window-picture.sh [path/to/vyr-mqtt]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/src/app/vyr-mqtt}
[ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }

source "$root/docs/picture-desktop.sh"

# Retained values, so that they arrive the moment the window subscribes.
for pair in home/kitchen/temp=21.5 home/kitchen/humidity=48 home/garden/light=on \
            home/door=closed home/livingroom/temp=20.9 sensors/outdoor/temp=7.25; do
  mosquitto_pub -h 127.0.0.1 -p "$port" -r -t "${pair%%=*}" -m "${pair#*=}"
done

start_connected
key alt+t Tab Tab Tab Down Down   # a line of the topic list selected
key shift+Tab shift+Tab shift+Tab; xdotool type --delay 20 'off'   # a message ready to publish
sleep 1

import -window "$window" "$root/docs/window.png"
echo "wrote $root/docs/window.png"
