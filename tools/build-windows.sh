#!/usr/bin/env bash
# Builds sondrel-capture.exe and sondrel-record.exe for 64-bit Windows with MinGW-w64.
#
# The compiled dependencies (PortAudio, libsamplerate, libuv, Dear ImGui, fmt and, for
# the tests, GoogleTest) are built from Debian's own source packages as static
# libraries, each into a folder of the cache named after its package and version:
#   ${SONDREL_WIN_DEPS:-$HOME/.cache/sondrel-win-deps}/<source package>-<version>
# A folder that exists and is complete is reused; a new Debian version (or a changed
# recipe below) gets a fresh one. The header-only libraries (websocketpp, asio,
# nlohmann-json) are copied from the Debian -dev packages into the cache the same way.
#
# Usage: bash tools/build-windows.sh [--release] [BUILD_DIR] [extra CMake arguments ...]
#   BUILD_DIR defaults to build-windows in the clone. Installs the cross compiler and
#   Wine when missing (root or sudo), and adds a deb-src entry to apt when none exists.
#   --release also makes BUILD_DIR/sondrel-capture-<version>-win64.zip for users: the
#   two programs stripped, the panel's font, README.txt and protocol.md (CR LF), our
#   LICENSE, the licences of everything linked in (Debian's copyright files with the
#   full text of every licence they only name) and SHA256SUMS, in one folder.
set -euo pipefail
shopt -s inherit_errexit

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
release=0
if [ "${1:-}" = "--release" ]; then
  release=1
  shift
fi
build_dir="${1:-$top/build-windows}"
shift || true
deps_root="${SONDREL_WIN_DEPS:-$HOME/.cache/sondrel-win-deps}"
triple=x86_64-w64-mingw32
jobs=2

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
apt_get() {
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null
}

log() { echo "build-windows: $*"; }

ensure_packages() {
  bash "$top/tools/install-packages.sh" build-windows \
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools \
    wine wine64 dpkg-dev cmake ninja-build pkg-config patch \
    libwebsocketpp-dev libasio-dev nlohmann-json3-dev
  if [ "$release" = 1 ]; then
    # Their copyright files, and the font, go into the zip.
    bash "$top/tools/install-packages.sh" build-windows \
      libportaudio2 libsamplerate0 libuv1 libimgui-dev libfmt9 fonts-wqy-microhei zip unzip
  fi
}

# apt-get source needs a deb-src entry. The machine's own entry is copied with its
# type changed, so the sources come from the same place as its binary packages.
ensure_deb_src() {
  if grep -Eqs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources ||
     grep -Eqs '^deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list; then
    return
  fi
  local source
  source="$(ls /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1 || true)"
  if [ -n "$source" ]; then
    log "adding a deb-src entry next to $source"
    sed -E 's/^Types:.*/Types: deb-src/' "$source" | $sudo_cmd tee /etc/apt/sources.list.d/sondrel-deb-src.sources >/dev/null
  elif grep -Eqs '^deb[[:space:]]' /etc/apt/sources.list; then
    log "adding deb-src lines for /etc/apt/sources.list"
    sed -nE 's/^deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list |
      $sudo_cmd tee /etc/apt/sources.list.d/sondrel-deb-src.list >/dev/null
  else
    echo "build-windows: no apt source entry to copy a deb-src entry from" >&2
    exit 1
  fi
  apt_get update -qq
}

# The version of the source package that apt-get source would fetch for a package.
source_version() {
  local dsc
  dsc="$(apt-get source --print-uris -qq "$1" 2>/dev/null | awk '$2 ~ /\.dsc$/ {print $2; exit}')"
  if [ -z "$dsc" ]; then
    apt_get update -qq
    dsc="$(apt-get source --print-uris -qq "$1" | awk '$2 ~ /\.dsc$/ {print $2; exit}')"
  fi
  [ -n "$dsc" ] || { echo "build-windows: apt has no source package for $1" >&2; exit 1; }
  dsc="${dsc%.dsc}"
  echo "${dsc%%_*} ${dsc#*_}"
}

# Unpacks the source package into $work/src and prints the tree's path.
fetch_source() {
  local package="$1" work="$2"
  mkdir -p "$work/src"
  (cd "$work/src" && apt-get source -qq "$package" >/dev/null 2>"$work/apt-source.log") || {
    cat "$work/apt-source.log" >&2
    exit 1
  }
  find "$work/src" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

cmake_cross() {
  # The dependencies are built with the project's own toolchain file, release-optimised.
  cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -Wno-dev -Wno-deprecated "$@"
}

write_pc() {  # prefix name version libs [cflags]
  mkdir -p "$1/lib/pkgconfig"
  cat >"$1/lib/pkgconfig/$2.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: $2
Description: $2 for $triple (static)
Version: $3
Libs: -L\${libdir} $4
Cflags: -I\${includedir}${5:-}
EOF
}

build_portaudio19() {  # src prefix version
  # MME (the first host API, so the default), DirectSound, WASAPI (with the patch in
  # cmake/patches/portaudio19) and WDM-KS, in PortAudio's order. WDM-KS is not asked for
  # the other host APIs' device names (PA_USE_WDMKS_DEVICE_INFO): that would open every
  # kernel streaming filter at each start and device refresh.
  # MinGW-w64 has the DirectSound headers; PortAudio only looks for them in a DirectX SDK.
  # Its DirectSound code calls the COM helpers that MinGW defines only as macros.
  cmake_cross -S "$1" -B "$1/build" -DCMAKE_C_FLAGS=-DCOBJMACROS -DPA_USE_WMME=ON -DPA_USE_DS=ON \
              -DDXSDK_INCLUDE_DIR="$1/include" -DPA_USE_WDMKS=ON -DPA_USE_WDMKS_DEVICE_INFO=OFF -DPA_USE_ASIO=OFF \
              -DPA_USE_WASAPI=ON -DPA_UNICODE_BUILD=ON
  cmake --build "$1/build" --target portaudio_static -j"$jobs"
  mkdir -p "$2/include" "$2/lib"
  cp "$1"/include/portaudio.h "$1"/include/pa_win_*.h "$2/include/"
  cp "$1/build/libportaudio_static.a" "$2/lib/libportaudio.a"
  write_pc "$2" portaudio-2.0 "$3" "-lportaudio -lwinmm -lole32 -luuid -lsetupapi -ldsound"
}

build_libsamplerate() {
  cmake_cross -S "$1" -B "$1/build" -DCMAKE_INSTALL_PREFIX="$2" -DBUILD_TESTING=OFF -DLIBSAMPLERATE_EXAMPLES=OFF
  cmake --build "$1/build" --target install -j"$jobs"
  # Installed with absolute paths; the cache folder may move.
  write_pc "$2" samplerate "$3" "-lsamplerate"
}

build_libuv1() {
  # Only the static library: its import-library twin would make the executable need uv.dll.
  cmake_cross -S "$1" -B "$1/build" -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF
  cmake --build "$1/build" --target uv_a -j"$jobs"
  mkdir -p "$2/include" "$2/lib"
  cp -r "$1"/include/. "$2/include/"
  cp "$1/build/libuv_a.a" "$2/lib/libuv.a"
  write_pc "$2" libuv "${3%%-*}" "-luv -lpsapi -luser32 -ladvapi32 -liphlpapi -luserenv -lws2_32 -ldbghelp -lole32 -lshell32"
}

build_fmtlib() {
  cmake_cross -S "$1" -B "$1/build" -DCMAKE_INSTALL_PREFIX="$2" -DFMT_DOC=OFF -DFMT_TEST=OFF -DFMT_INSTALL=ON
  cmake --build "$1/build" --target install -j"$jobs"
}

build_googletest() {
  cmake_cross -S "$1" -B "$1/build" -DCMAKE_INSTALL_PREFIX="$2" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
  cmake --build "$1/build" --target install -j"$jobs"
}

# Debian's imgui package builds the library with its own makefile for Linux only; the
# Windows build takes the core and the Win32 + Direct3D 9 backends.
build_imgui() {
  mkdir -p "$1/sondrel"
  cat >"$1/sondrel/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(imgui_win32 CXX)
set(dir "$1")
add_library(imgui STATIC \${dir}/imgui.cpp \${dir}/imgui_draw.cpp \${dir}/imgui_tables.cpp
            \${dir}/imgui_widgets.cpp \${dir}/imgui_demo.cpp
            \${dir}/backends/imgui_impl_win32.cpp \${dir}/backends/imgui_impl_dx9.cpp)
target_include_directories(imgui PRIVATE \${dir})
install(TARGETS imgui ARCHIVE DESTINATION lib)
install(FILES \${dir}/imgui.h \${dir}/imconfig.h \${dir}/imgui_internal.h \${dir}/imstb_rectpack.h
        \${dir}/imstb_textedit.h \${dir}/imstb_truetype.h DESTINATION include/imgui)
install(FILES \${dir}/backends/imgui_impl_win32.h \${dir}/backends/imgui_impl_dx9.h
        DESTINATION include/imgui/backends)
EOF
  cmake_cross -S "$1/sondrel" -B "$1/build" -DCMAKE_INSTALL_PREFIX="$2"
  cmake --build "$1/build" --target install -j"$jobs"
  write_pc "$2" imgui "$3" "-limgui -ld3d9 -ldwmapi -limm32 -lgdi32" " -I\${includedir}/imgui"
}

# Recipe revisions: raise one to rebuild that dependency in every cache.
declare -A recipe=([portaudio19]=3 [libsamplerate]=1 [libuv1]=1 [fmtlib]=1 [googletest]=1 [imgui]=1)

# Patches to a source package: cmake/patches/<source package>/*.patch, applied in name
# order with patch -p1 before it is built.
patches_of() { compgen -G "$top/cmake/patches/$1/*.patch" | LC_ALL=C sort || true; }

# The cache folder of a source package: a patched package gets a folder per set of
# patches (named by their hash), so a changed patch is built afresh, and clones on
# other branches keep using the folder that matches their own patches.
cache_key() {  # name version
  local patches patch
  patches="$(patches_of "$1")"
  if [ -z "$patches" ]; then
    echo "$1-$2"
    return
  fi
  echo "$1-$2+$(while read -r patch; do cat "$patch"; done <<<"$patches" | sha256sum | cut -c1-12)"
}

apply_patches() {  # name src
  local patch
  while read -r patch; do
    [ -n "$patch" ] || continue
    echo "applying $(basename "$patch")"
    patch -d "$2" -p1 --forward --batch <"$patch"
  done < <(patches_of "$1")
}

# Builds (or reuses) one dependency and prints its prefix.
dependency() {
  local package="$1" name version info
  info="$(source_version "$package")"
  read -r name version <<<"$info"
  local prefix
  prefix="$deps_root/$(cache_key "$name" "$version")"
  local stamp="$prefix/.sondrel-recipe"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${recipe[$name]}" ]; then
    echo "$prefix"
    return
  fi
  log "building $name $version (static, $triple)" >&2
  local started=$SECONDS
  local work
  work="$(mktemp -d "$deps_root/.work-$name-XXXXXX")"
  local src
  src="$(fetch_source "$package" "$work")"
  # The stamp is written last: a folder without it is an interrupted build.
  rm -rf "$prefix"
  if ! { apply_patches "$name" "$src" && "build_${name//-/_}" "$src" "$prefix" "$version"; } >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    echo "build-windows: building $name failed; the full log is $work/build.log" >&2
    exit 1
  fi
  echo "${recipe[$name]}" >"$prefix/.sondrel-recipe"
  rm -rf "$work"
  log "$name $version built in $((SECONDS - started)) s" >&2
  echo "$prefix"
}

# The header-only libraries, copied from the installed -dev packages.
headers() {
  local key=""
  for p in libwebsocketpp-dev libasio-dev nlohmann-json3-dev; do
    key+="-$(dpkg-query -W -f='${Version}' "$p" | tr ':' '_')"
  done
  local prefix="$deps_root/headers$key"
  if [ ! -f "$prefix/.sondrel-recipe" ]; then
    rm -rf "$prefix.partial"
    mkdir -p "$prefix.partial/include" "$prefix.partial/share/cmake"
    cp -r /usr/include/websocketpp /usr/include/asio /usr/include/asio.hpp /usr/include/nlohmann "$prefix.partial/include/"
    cp -r /usr/share/cmake/nlohmann_json "$prefix.partial/share/cmake/"
    echo 1 >"$prefix.partial/.sondrel-recipe"
    rm -rf "$prefix"
    mv "$prefix.partial" "$prefix"
  fi
  echo "$prefix"
}

ensure_packages
ensure_deb_src
mkdir -p "$deps_root"
# Two builds sharing the cache wait for each other instead of building the same folder.
exec 9>"$deps_root/.lock"
flock 9

prefixes=()
for package in portaudio19 libsamplerate0 libuv1 imgui fmtlib googletest; do
  prefixes+=("$(dependency "$package")")
done
prefixes+=("$(headers)")
flock -u 9

deps_list="$(IFS=';'; echo "${prefixes[*]}")"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
log "configuring $build_dir"
cmake -S "$top" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_WIN_DEPS="$deps_list" -DSONDREL_BENCH=OFF "${launcher[@]}" "$@" \
      >/dev/null
cmake --build "$build_dir" -j"$jobs" --target sondrel-capture sondrel-record

# Only DLLs that ship with Windows may be imported.
allowed='^(KERNEL32|USER32|GDI32|ADVAPI32|SHELL32|OLE32|OLEAUT32|WS2_32|MSWSOCK|IPHLPAPI|BCRYPT|USERENV|PSAPI|DBGHELP|WINMM|SETUPAPI|D3D9|DWMAPI|IMM32|DSOUND|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$'
for exe in sondrel-capture.exe sondrel-record.exe; do
  while read -r dll; do
    if ! [[ "$dll" =~ $allowed ]] && ! [[ "${dll^^}" =~ ${allowed^^} ]]; then
      echo "build-windows: $exe imports $dll, which is not a system DLL" >&2
      exit 1
    fi
  done < <("$triple-objdump" -p "$build_dir/$exe" | awk '/DLL Name:/ {print $3}')
done
log "done: $build_dir/sondrel-capture.exe, $build_dir/sondrel-record.exe"

# Debian's copyright file of an installed package built from the source package.
copyright_of() {
  local package
  while read -r package; do
    if [ -f "/usr/share/doc/$package/copyright" ]; then
      echo "/usr/share/doc/$package/copyright"
      return
    fi
  done < <(dpkg-query -W -f='${db:Status-Status} ${Package} ${source:Package}\n' | awk -v s="$1" '$1 == "installed" && $3 == s {print $2}')
  echo "build-windows: no installed package of $1 has a copyright file" >&2
  exit 1
}

# A text file with CR LF line ends (those it has already kept).
to_crlf() {
  sed 's/\r$//; s/$/\r/' "$1" >"$2"
}

# The licences Debian copyright files name by their place in /usr/share/common-licenses
# (without the full text), one a line.
licences_named_in() {
  cat "$@" | grep -o '/usr/share/common-licenses/[A-Za-z0-9.+_-]*[A-Za-z0-9+]' | sed 's|.*/||' | LC_ALL=C sort -u
}

make_release() {
  local version name folder zip
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")"
  name="sondrel-capture-$version-win64"
  folder="$build_dir/release/$name"
  zip="$(realpath "$build_dir")/$name.zip"
  rm -rf "$build_dir/release" "$zip"
  mkdir -p "$folder/licences"
  for exe in sondrel-capture.exe sondrel-record.exe; do
    "$triple-strip" -o "$folder/$exe" "$build_dir/$exe"
  done
  # The panel reads ./SourceHanSansSC-VF.ttf: WenQuanYi Micro Hei has the Latin and the
  # Simplified Chinese glyphs it needs.
  cp /usr/share/fonts/truetype/wqy/wqy-microhei.ttc "$folder/SourceHanSansSC-VF.ttf"
  # Text for Windows users: line ends Notepad shows as lines.
  to_crlf "$top/docs/windows-readme.md" "$folder/README.txt"
  to_crlf "$top/docs/protocol.md" "$folder/protocol.md"
  to_crlf "$top/LICENSE" "$folder/LICENSE.txt"

  # What is linked into the programs (statically), and the font, with the source
  # package each came from.
  local entries=(
    "portaudio19:PortAudio" "libsamplerate:libsamplerate" "libuv1:libuv" "imgui:Dear ImGui" "fmtlib:fmt"
    "websocketpp:WebSocket++" "asio:Asio" "nlohmann-json3:JSON for Modern C++"
    "mingw-w64:MinGW-w64 runtime and winpthreads" "gcc-mingw-w64:GCC runtime libraries (libstdc++, libgcc)"
    "fonts-wqy-microhei:WenQuanYi Micro Hei, as SourceHanSansSC-VF.ttf"
  )
  local entry source copyrights=()
  for entry in "${entries[@]}"; do
    source="${entry%%:*}"
    copyrights+=("$(copyright_of "$source")")
    to_crlf "${copyrights[-1]}" "$folder/licences/$source.txt"
  done
  {
    echo "sondrel-capture's own code is under the MIT licence: ../LICENSE.txt."
    echo
    echo "sondrel-capture.exe and sondrel-record.exe are linked statically with the libraries"
    echo "below; SourceHanSansSC-VF.ttf is the font WenQuanYi Micro Hei. Each file in this folder"
    echo "is the copyright and licence statement of the Debian source package it was built from."
    echo "Where one of them refers to a licence in Debian's common-licenses folder, its full"
    echo "text is in common-licenses here, as NAME.txt."
    echo
    for entry in "${entries[@]}"; do
      source="${entry%%:*}"
      printf '%-24s %s\n' "$source.txt" "${entry#*:}"
    done
  } >"$folder/licences/README.tmp"
  to_crlf "$folder/licences/README.tmp" "$folder/licences/README.txt"
  rm "$folder/licences/README.tmp"
  # The font's own licence is Apache-2.0 (or GPL-3+ with the font exception); the text
  # of every licence the copyright files only name goes beside them.
  mkdir -p "$folder/licences/common-licenses"
  local licence
  for licence in $( (echo Apache-2.0; licences_named_in "${copyrights[@]}") | LC_ALL=C sort -u); do
    [ -f "/usr/share/common-licenses/$licence" ] || { log "no /usr/share/common-licenses/$licence"; exit 1; }
    to_crlf "/usr/share/common-licenses/$licence" "$folder/licences/common-licenses/$licence.txt"
  done

  (cd "$folder" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort | xargs -d '\n' sha256sum >SHA256SUMS)
  # Dated by the last commit, so the same tree gives the same archive.
  export TZ=UTC
  local stamp
  stamp="$(git -C "$top" log -1 --format=%cd --date=format-local:%Y%m%d%H%M.%S 2>/dev/null || date +%Y%m%d%H%M.%S)"
  find "$build_dir/release" -exec touch -h -t "$stamp" {} +
  (cd "$build_dir/release" && find "$name" -print | LC_ALL=C sort | zip -X -q -9 "$zip" -@)
  log "release: $zip ($(du -k "$zip" | cut -f1) KiB)"
}

if [ "$release" = 1 ]; then
  make_release
fi
