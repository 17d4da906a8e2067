#!/usr/bin/env bash
# Takes docs/topic-window.png from the real program under Xvfb: the main
# window connected to a local mosquitto, and beside it the window of a topic
# whose data file holds an hour of JSON values, drawing new ones as they come.
# Needs a built vyr-mqtt:
#   bash docs/make-topic-window-picture.sh [path/to/vyr-mqtt]
source "$(dirname "$0")/picture-desktop.sh"

publish_retained home/kitchen/temp=21.5 home/kitchen/humidity=48 home/garden/light=on \
  home/door=closed sensors/outdoor/temp=7.25

# An hour of past values in the topic's data file, beside the program.
now=$(date +%s)
for i in $(seq 3600 -10 10); do
  t=$((now - i)); temp=$(( 2000 + (i * 37 % 300) )); hum=$(( 46 + (i / 10 * 13 % 5) ))
  printf '%s.000Z;{"temp":%d.%02d,"humidity":%d}\r\n' "$(date -u -d @$t +%Y-%m-%dT%H:%M:%S)" \
    $((temp / 100)) $((temp % 100)) "$hum"
done > "$work/home-livingroom-climate.csv"
mosquitto_pub -h 127.0.0.1 -p "$port" -r -t home/livingroom/climate -m '{"temp":21.3,"humidity":48}'

start_connected
xdotool windowmove --sync "$window" 0 0
# The sixth line, home/livingroom/climate, opened with a double click.
xdotool mousemove --sync --window "$window" 116 397 click --repeat 2 --delay 80 1 mousemove 0 0
topic=
for _ in $(seq 100); do
  topic=$(xdotool search --onlyvisible --name "^home/livingroom/climate - " 2>/dev/null | head -1) && [ -n "$topic" ] && break
  sleep 0.2
done
[ -n "$topic" ] || { echo "no topic window" >&2; exit 1; }
xdotool windowsize --sync "$topic" 376 511
xdotool windowmove --sync "$topic" 648 0
for i in $(seq 20); do
  mosquitto_pub -h 127.0.0.1 -p "$port" -t home/livingroom/climate \
    -m "{\"temp\":$((21 + i % 3)).$((i * 7 % 10)),\"humidity\":$((47 + i % 5))}"
  sleep 0.3
done
sleep 1

import -window root -crop 1024x511+0+0 "$root/docs/topic-window.png"
echo "wrote $root/docs/topic-window.png"
