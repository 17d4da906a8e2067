#!/usr/bin/env bash
# Builds the Debian package build-pkg/vyr-mqtt_<version>_<arch>.deb with CPack
# and checks it with lintian; prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh package
# Debian's hardening flags (stack protector, fortify, relro, bind-now).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DVYR_BUILD_TESTS=OFF -DVYR_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" > /dev/null
cmake --build build-pkg -j "$(nproc)"
rm -f build-pkg/vyr-mqtt_*.deb
(cd build-pkg && cpack -G DEB > /dev/null)
deb=$(ls build-pkg/vyr-mqtt_*.deb)

echo "== lintian =="
lintian --fail-on error,warning --display-info "$deb"
echo "$deb"
