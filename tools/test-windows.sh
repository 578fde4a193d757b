#!/usr/bin/env bash
# The windows stage of tools/run-tests.sh: the Windows build, tested under Wine.
#   1. tools/build-windows.sh --release: the dependencies from Debian sources (cached
#      outside the clone), sondrel-capture.exe and sondrel-record.exe, in build-windows,
#      and the release zip, which is unpacked and checked (sums, resources, a run).
#   2. The Windows unit tests, cross-built there and run under Wine.
#   3. The process-level tests of the plain stage's build (build-test), pointed at the
#      .exe files (SONDREL_CAPTURE_UNDER_TEST), which they drive under Wine with the
#      virtual microphone and Xvfb + openbox: commands, settings, log, streaming,
#      clients, Origin, exit, the settings window, the recorder. They run one at a time.
# One Wine prefix for the whole stage, inside build-windows (never in a HOME the tests
# change), with a Wine server that lives until the window tests and is ended by its PID;
# each window test then gets a fresh server of its own.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
win="$top/build-windows"
native="$top/build-test"
started=$SECONDS
source tools/stage-times.sh
stage_begin windows

echo "=== windows build ($win) ==="
bash tools/build-windows.sh --release "$win" -DBUILD_TESTING=ON
cmake --build "$win" -j2
# The native test programs that drive the .exe files are the plain stage's: the program
# under test is chosen when they run. Configured exactly as tools/run-tests.sh
# configures build-test; after the plain stage there is nothing left to build.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_SANITIZE= -DSONDREL_BENCH=ON \
      -DSONDREL_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build "$native" -j2 --target app_process_tests server_e2e_tests stream_options_e2e_tests record_e2e_tests \
      ui_window_test who_may_connect_tests \
      ui_font_window_test sound_stack_tests
stage_built

export SONDREL_WINEPREFIX="$win/wineprefix"
export WINEPREFIX="$SONDREL_WINEPREFIX" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
# The stage's server must be the prefix's only one, in place before any Windows program
# starts: `wineserver -p` ends at once (status 2) when the prefix already has a server,
# such as the one CMake's test discovery started during the build, or one that the first
# program started itself because it came before this one had its socket. Such a server
# goes as soon as no program is left (with Wine's services), and a program that starts
# while it goes ends at once without a word.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p -f &
wineserver_pid=$!
stop_wineserver() {
  # Ends every Wine process of the prefix, then the server. Ending only the server would
  # leave Wine's service processes (winedevice.exe and the like) behind, spinning.
  wineserver -k 2>/dev/null || kill "$wineserver_pid" 2>/dev/null || true
  wait "$wineserver_pid" 2>/dev/null || true
}
trap stop_wineserver EXIT
# The server is ready once its socket exists in its folder, where it works.
server_ready=$((SECONDS + 60))
until [ -S "/proc/$wineserver_pid/cwd/socket" ]; do
  if ! kill -0 "$wineserver_pid" 2>/dev/null || [ $SECONDS -ge $server_ready ]; then
    echo "the stage's Wine server did not start"
    exit 1
  fi
  sleep 0.1
done
# The build has made the prefix already (CMake's test discovery runs the unit test
# programs under Wine), so whether it has been prepared is a mark of our own.
if [ ! -f "$WINEPREFIX/sondrel-prepared" ]; then
  echo "=== windows: preparing the Wine prefix ==="
  "$win/wine-run" wineboot -i >/dev/null 2>&1
  # Wine's own caption font has no Chinese glyphs; link the one the panel also uses.
  for face in Tahoma "Microsoft Sans Serif"; do
    "$win/wine-run" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
  done
  # A crashing test program ends at once instead of waiting for Wine's debugger.
  "$win/wine-run" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
    >/dev/null 2>&1 || true
  # The first start of a Windows program in a fresh prefix sets up Wine's services and
  # audio devices, which takes several seconds; it is taken here, not by the first test.
  printf 'exit\n' | "$win/wine-run" "$win/sondrel-capture.exe" "$WINEPREFIX/warm-up.json" >/dev/null 2>&1 || true
  touch "$WINEPREFIX/sondrel-prepared"
fi
# Wine's service processes (services.exe, winedevice.exe, ...) start with the first program
# that needs them and live as long as the server, holding that program's standard output
# and error. Started here with neither, so that no test's output pipe is held open after
# its program ended (CMake's test discovery would wait for it until its time-out).
"$win/wine-run" wineboot >/dev/null 2>&1 </dev/null || true

status=0
# The zip as a user gets it: unpacked into a folder whose name has spaces and Chinese.
check_release() {
  local zip unpacked folder exe
  zip="$(ls "$win"/sondrel-capture-*-win64.zip)"
  unpacked="$win/release-check/解压 后"
  rm -rf "$win/release-check"
  mkdir -p "$unpacked"
  (cd "$unpacked" && unzip -q "$zip")
  folder="$unpacked/$(basename "$zip" .zip)"
  (cd "$folder" && sha256sum --quiet -c SHA256SUMS) || return 1
  for exe in sondrel-capture.exe sondrel-record.exe; do
    x86_64-w64-mingw32-objdump -h "$folder/$exe" | grep -q '\.debug_' && { echo "$exe is not stripped"; return 1; }
    x86_64-w64-mingw32-windres -i "$folder/$exe" -O rc >"$win/release-check/$exe.rc" || return 1
    grep -q 'VERSIONINFO' "$win/release-check/$exe.rc" || { echo "$exe has no version information"; return 1; }
    grep -q 'RT_MANIFEST' "$win/release-check/$exe.rc" || { echo "$exe has no manifest"; return 1; }
    grep -q 'RT_GROUP_ICON' "$win/release-check/$exe.rc" || { echo "$exe has no icon"; return 1; }
  done
  local version
  version="$(cd "$folder" && "$win/wine-run" ./sondrel-capture.exe --version </dev/null | tr -d '\r')"
  [ "$version" = "sondrel-capture $(basename "$zip" -win64.zip | sed 's/^sondrel-capture-//')" ] ||
    { echo "the unpacked sondrel-capture.exe says: $version"; return 1; }
  local record_version
  record_version="$(cd "$folder" && "$win/wine-run" ./sondrel-record.exe --version </dev/null | tr -d '\r')"
  [ "$record_version" = "sondrel-record ${version#sondrel-capture }" ] ||
    { echo "the unpacked sondrel-record.exe says: $record_version"; return 1; }
  # Text for Windows users, in CR LF: every line ends in one.
  local text
  for text in README.txt protocol.md LICENSE.txt licences/README.txt; do
    [ -s "$folder/$text" ] || { echo "$text is missing"; return 1; }
    if grep -qv $'\r$' "$folder/$text"; then echo "$text has lines without CR LF"; return 1; fi
  done
  grep -q 'SONDREL_CAPTURE_TOKEN' "$folder/README.txt" || { echo "README.txt does not tell of the token"; return 1; }
  grep -q '^MIT License' "$folder/LICENSE.txt" || { echo "LICENSE.txt is not our MIT licence"; return 1; }
  # The full text of every licence: the font's Apache-2.0, and each one a copyright file
  # names only by its place on a Debian system.
  grep -q 'Apache License' "$folder/licences/common-licenses/Apache-2.0.txt" 2>/dev/null ||
    { echo "the font's licence (Apache-2.0) is missing"; return 1; }
  local named
  for named in $(cat "$folder"/licences/*.txt | grep -o '/usr/share/common-licenses/[A-Za-z0-9.+_-]*[A-Za-z0-9+]' |
                 sed 's|.*/||' | sort -u); do
    [ -s "$folder/licences/common-licenses/$named.txt" ] || { echo "licence text $named is missing"; return 1; }
  done
  echo "release zip: $(basename "$zip"), $(unzip -Z1 "$zip" | grep -vc '/$') files, checked"
}
echo "=== windows release zip ==="
stage_run=$((stage_run + 1))
check_release || { echo "release zip check failed"; status=1; stage_failed=$((stage_failed + 1)); }

echo "=== windows unit tests (under Wine) ==="
stage_ctest --test-dir "$win" --output-on-failure -j2 --timeout 300 || status=1

echo "=== windows process-level tests ($native, driving the .exe files under Wine) ==="
# The labels of exactly those programs' tests, and the stop requests of the sound-stack
# tests: one or two Ctrl+C while standard output is blocked. They share the stage's Wine
# server and prefix, and take turns (-j1).
export SONDREL_CAPTURE_UNDER_TEST="$win/sondrel-capture.exe"
stage_ctest --test-dir "$native" --output-on-failure -j1 --timeout 300 -L 'process|e2e' || status=1
stage_ctest --test-dir "$native" --output-on-failure -j1 --timeout 300 \
      -R '^SoundStack\.(OneStopSignal|SecondStopSignal)' || status=1

# The window tests, each with a Wine server of its own. Wine's desktop belongs to the X
# display of the program that started the server: the stage's server has none (it
# started without a display, see above), and a server left over from the test before
# has the desktop on an X server that test has ended. Neither can show the window.
echo "=== windows window tests (a Wine server per test) ==="
stop_wineserver
trap 'wineserver -k 2>/dev/null || true' EXIT
# (The Linux window backend's own tests, BrokenDisplay, start no sondrel-capture.)
while read -r name; do
  wineserver -k 2>/dev/null || true
  wineserver -w
  stage_ctest --test-dir "$native" --output-on-failure -j1 --timeout 300 -R "^${name}\$" || status=1
done < <(ctest --test-dir "$native" -N -L gui -E '^BrokenDisplay\.' | sed -n 's/^ *Test *#[0-9]*: //p')

stage_end
echo "=== windows stage: $((SECONDS - started)) s ==="
exit $status
