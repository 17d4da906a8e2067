#!/usr/bin/env bash
# Takes docs/window.png from the real program under Xvfb, connected to a local
# mosquitto on loopback with a few topics. Needs a built vyr-mqtt:
#   bash docs/make-window-picture.sh [path/to/vyr-mqtt]
source "$(dirname "$0")/picture-desktop.sh"

publish_retained home/kitchen/temp=21.5 home/kitchen/humidity=48 home/garden/light=on \
  home/door=closed home/livingroom/temp=20.9 sensors/outdoor/temp=7.25

start_connected
key alt+t Tab Tab Tab Down Down   # a line of the topic list selected
key shift+Tab shift+Tab shift+Tab; xdotool type --delay 20 'off'   # a message ready to publish
sleep 1

import -window "$window" "$root/docs/window.png"
echo "wrote $root/docs/window.png"
