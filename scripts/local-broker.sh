#!/usr/bin/env bash
# Starts a mosquitto on this machine for trying the program: plain MQTT on
# 127.0.0.1:1883 and TLS on 127.0.0.1:8883 with a self-signed certificate.
# A port that is already taken (for example by a broker of your own) is left
# alone. Everything it writes goes to .run/ in the project folder.
# Stop it with: kill "$(cat .run/mosquitto.pid)"
set -euo pipefail
cd "$(dirname "$0")/.."
run=.run
mkdir -p "$run"

port_taken() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

if [ -f "$run/mosquitto.pid" ] && kill -0 "$(cat "$run/mosquitto.pid")" 2>/dev/null; then
  echo "Local broker already running (pid $(cat "$run/mosquitto.pid"))."
  exit 0
fi

listeners=""
if port_taken 1883; then
  echo "Port 1883 is taken: using whatever listens there for plain MQTT."
else
  listeners+="listener 1883 127.0.0.1"$'\n'
fi
if port_taken 8883; then
  echo "Port 8883 is taken: using whatever listens there for TLS."
else
  if [ ! -s "$run/broker.crt" ] || [ ! -s "$run/broker.key" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" \
      -keyout "$run/broker.key" -out "$run/broker.crt" 2>/dev/null
  fi
  listeners+="listener 8883 127.0.0.1"$'\n'
  listeners+="certfile $PWD/$run/broker.crt"$'\n'
  listeners+="keyfile $PWD/$run/broker.key"$'\n'
fi
[ -n "$listeners" ] || exit 0

mosquitto_bin=$(command -v mosquitto || echo /usr/sbin/mosquitto)
cat > "$run/mosquitto.conf" <<CONF
per_listener_settings false
allow_anonymous true
pid_file $PWD/$run/mosquitto.pid
log_dest file $PWD/$run/mosquitto.log
$listeners
CONF
[ "$(id -u)" -eq 0 ] && echo "user root" >> "$run/mosquitto.conf"
"$mosquitto_bin" -d -c "$run/mosquitto.conf"

for _ in $(seq 50); do
  if { ! grep -q "^listener 1883" "$run/mosquitto.conf" || port_taken 1883; } &&
     { ! grep -q "^listener 8883" "$run/mosquitto.conf" || port_taken 8883; }; then
    echo "Local broker started: type localhost (port 1883 with Use SSL \"No\", or 8883 with \"Yes\")."
    exit 0
  fi
  sleep 0.1
done
echo "The local broker did not start; see $run/mosquitto.log" >&2
exit 1
