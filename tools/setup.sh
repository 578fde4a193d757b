#!/usr/bin/env bash
# Installs the Debian packages that building the two programs and running the demo
# need: the compiler and build tools, the libraries, and what tools/demo.sh uses for
# its virtual microphone on a machine without one. The test suite's own toolchains
# come with tools/setup-tests.sh.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
packages=(
  build-essential cmake ninja-build pkg-config
  portaudio19-dev libsamplerate0-dev libuv1-dev
  libwebsocketpp-dev libasio-dev nlohmann-json3-dev libfmt-dev
  libimgui-dev libsdl2-dev libgl-dev libx11-xcb-dev
  pulseaudio pulseaudio-utils libasound2-plugins python3
)
bash "$top/tools/install-packages.sh" setup "${packages[@]}"

# The settings window reads ./SourceHanSansSC-VF.ttf from its working directory;
# WenQuanYi Micro Hei (installed for the tests) has the Latin and the Simplified
# Chinese glyphs it needs.
font_src=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [ -f "$font_src" ] && [ ! -e "$top/SourceHanSansSC-VF.ttf" ]; then
  ln -s "$font_src" "$top/SourceHanSansSC-VF.ttf"
fi
