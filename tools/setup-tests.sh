#!/usr/bin/env bash
# Installs what the test suite needs beyond tools/setup.sh: GoogleTest and Google
# Benchmark, the X server, window manager and tools of the window tests, clang for the
# fuzzers, DejaVu Sans (the damaged fonts of the font tests are made from it), Node.js
# and npm for the Node module, and Chromium for the browser page.
# (Wine and MinGW-w64 come with tools/build-windows.sh.)
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$top/tools/setup.sh"

packages=(
  libgtest-dev libbenchmark-dev
  xvfb openbox xdotool wmctrl x11-utils x11-apps imagemagick fonts-wqy-microhei libgl1-mesa-dri
  fonts-dejavu-core
  clang libclang-rt-14-dev
  procps groff-base chromium
  clang-format ccache
)
# Machines of this kind come with Node.js (and its npm) from another source; Debian's
# own packages would conflict with it, so they are installed only when it is missing.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
bash "$top/tools/install-packages.sh" setup-tests "${packages[@]}"

font_src=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [ -f "$font_src" ] && [ ! -e "$top/SourceHanSansSC-VF.ttf" ]; then
  ln -s "$font_src" "$top/SourceHanSansSC-VF.ttf"
fi
