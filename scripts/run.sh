#!/usr/bin/env bash
# Installs what is missing, builds, starts a local mosquitto to try the program
# with (plain on 1883, TLS on 8883, unless those ports are taken) and opens the window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
# Only the programs: the test toolchain is scripts/test.sh's business.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYR_BUILD_TESTS=OFF -DVYR_BUILD_BENCH=OFF > /dev/null
cmake --build build --target vyr-mqtt -j "$(nproc)"
bash scripts/local-broker.sh
# The window opens pointed at that broker; press Connect.
exec build/src/app/vyr-mqtt --broker 127.0.0.1 --port 1883 --ssl no
