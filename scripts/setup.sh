#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
# Idempotent: when everything is present it only runs dpkg-query and returns.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build ccache pkg-config clang libclang-rt-14-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libcurl4-openssl-dev libssl-dev libsoundtouch-dev libsonic-dev libchardet-dev
  libglew-dev libjsoncpp-dev libsqlite3-dev sqlite3 libasound2-dev libx11-dev libxext-dev libgl-dev
  libxft-dev libfontconfig-dev fonts-dejavu-core fonts-noto-cjk xfonts-base
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb x11-utils libgl1-mesa-dri mesa-utils
  pulseaudio pulseaudio-utils libasound2-plugins alsa-utils
  nginx-light openssl curl ffmpeg mpv python3 sox time rtsp-server-perl
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# nginx-light's package starts a system service on port 80; the tests run their own.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now nginx >/dev/null 2>&1 || true; fi
echo "setup: packages ready"
