#!/usr/bin/env bash
# Installs the Debian packages vexlink needs to build, test and demonstrate,
# and only those that are missing. Safe to run any number of times.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  libasound2-dev libopus-dev libbluetooth-dev libpipewire-0.3-dev libspeexdsp-dev
  # The PipeWire tests start a private session of these daemons and tools.
  pipewire pipewire-bin wireplumber pipewire-pulse pulseaudio-utils dbus-daemon
  libgtest-dev libbenchmark-dev
  clang libclang-rt-dev
)
# Callers may add more (for example the packaging checks).
if [ "$#" -gt 0 ]; then packages+=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
