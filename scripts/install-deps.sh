#!/usr/bin/env bash
# Installs the Debian 12 packages NarwickPanel needs to build, run and test.
#   scripts/install-deps.sh          build and run
#   scripts/install-deps.sh --test   also the test tools (Xvfb, AT-SPI, xdotool, clang, a broker,
#                                    and systemd for systemd-analyze verify of the service unit)
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-svg-dev libsystemd-dev libmosquitto-dev)
if [[ "${1:-}" == "--test" ]]; then
    packages+=(xvfb xauth xdotool x11-utils python3 python3-pyatspi python3-gi gir1.2-atspi-2.0
               at-spi2-core dbus dbus-x11 clang libclang-rt-14-dev dpkg-dev appstream
               desktop-file-utils imagemagick systemd mosquitto mosquitto-clients
               python3-jsonschema openssl)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
