#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent:
# packages already present are skipped without touching the network.
set -euo pipefail

PKGS=(
  build-essential cmake pkg-config
  libsdl1.2-compat-dev librtaudio-dev libsndfile1-dev librtmidi-dev libjack-jackd2-dev libsmf-dev
  libgraphviz-dev graphviz libsoxr-dev libexpat1-dev
  jackd2
  libgtest-dev libgmock-dev libbenchmark-dev libfftw3-dev
  clang libclang-rt-14-dev
  libx11-dev libxtst-dev
  xvfb xdotool x11-utils imagemagick
  pulseaudio pulseaudio-utils libasound2-plugins alsa-utils libasound2-dev libpulse-dev libpulsedsp
  python3
  csound
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
