#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and demonstrates with.
# Idempotent: packages already present are skipped, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  portaudio19-dev libsamplerate0-dev libuv1-dev
  libwebsocketpp-dev libasio-dev nlohmann-json3-dev libfmt-dev
  libimgui-dev libsdl2-dev libgl-dev
  libgtest-dev libbenchmark-dev
  pulseaudio pulseaudio-utils libasound2-plugins
  xvfb openbox xdotool wmctrl x11-utils x11-apps imagemagick fonts-wqy-microhei libgl1-mesa-dri
  clang libclang-rt-14-dev
  procps python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
else
  echo "setup: all packages present"
fi

# The settings window reads ./SourceHanSansSC-VF.ttf from its working directory;
# WenQuanYi Micro Hei has both the Latin and the Simplified Chinese glyphs it needs.
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
font_src=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [ -f "$font_src" ] && [ ! -e "$top/SourceHanSansSC-VF.ttf" ]; then
  ln -s "$font_src" "$top/SourceHanSansSC-VF.ttf"
fi
