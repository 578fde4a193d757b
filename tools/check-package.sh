#!/usr/bin/env bash
# Installs the Debian package made in BUILD_DIR (cpack -G DEB), checks what it put on
# the machine, records a few seconds through the installed sondrel-record and
# sondrel-capture (tools/demo.sh: on a machine without a microphone, a 1 kHz test tone
# from a virtual one), and removes the package again, also when a check fails.
#
# Usage: bash tools/check-package.sh BUILD_DIR     (as root, or with sudo)
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

shopt -s nullglob
debs=("$build"/sondrel-capture_*_"$(dpkg --print-architecture)".deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "check-package: expected one sondrel-capture package in $build, found ${#debs[@]}" >&2
  exit 1
fi
deb="${debs[0]}"

work="$(mktemp -d /tmp/sondrel-package.XXXXXX)"
apt() {
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null
}
remove() {
  if dpkg-query -W -f='${Status}' sondrel-capture 2>/dev/null | grep -q "ok installed"; then
    apt purge -y -qq sondrel-capture >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap remove EXIT

fail() {
  echo "check-package: $*" >&2
  exit 1
}

echo "check-package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends | sed 's/^/check-package: Depends: /'
if dpkg-query -W -f='${Status}' sondrel-capture 2>/dev/null | grep -q "install ok installed"; then
  echo "check-package: note: sondrel-capture was installed already; it is replaced, and removed at the end"
fi
apt install -y -qq "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install $deb failed"; }

[ "$(command -v sondrel-capture)" = /usr/bin/sondrel-capture ] || fail "sondrel-capture is not /usr/bin/sondrel-capture"
[ "$(command -v sondrel-record)" = /usr/bin/sondrel-record ] || fail "sondrel-record is not /usr/bin/sondrel-record"
version="$(sondrel-capture --version)"
[[ "$version" =~ ^sondrel-capture\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version printed '$version'"
sondrel-capture --help | head -n 1 | grep -qxF 'Usage: sondrel-capture [SETTINGS_PATH [LOG_PATH]]' ||
  fail "--help printed no usage"
sondrel-record --help | head -n 1 | grep -q '^Usage: sondrel-record' || fail "sondrel-record --help printed no usage"
for page in sondrel-capture sondrel-record; do
  file="/usr/share/man/man1/$page.1.gz"
  [ -f "$file" ] || fail "$file is missing"
  if command -v groff >/dev/null; then
    warnings="$(zcat "$file" | groff -man -ww -z 2>&1)"
    [ -z "$warnings" ] || fail "$file: $warnings"
  fi
done
for doc in README.md protocol.md architecture.md; do
  [ -f "/usr/share/doc/sondrel-capture/$doc" ] || fail "/usr/share/doc/sondrel-capture/$doc is missing"
done
echo "check-package: $version installed; programs, man pages and documents in place"

# A short recording with the installed programs.
bash "$top/tools/demo.sh" /usr/bin "$work/take.wav" | tee "$work/demo.txt"
if grep -q "virtual microphone" "$work/demo.txt"; then
  python3 - "$work/take.wav" <<'PY' || fail "the recording is not the test tone"
import math, struct, sys
data = open(sys.argv[1], "rb").read()
at = data.index(b"data") + 8
samples = struct.unpack("<%df" % ((len(data) - at) // 4), data[at:at + (len(data) - at) // 4 * 4])
samples = samples[22050:]  # past the start of capture
rises = [i for i in range(1, len(samples)) if samples[i - 1] < 0 <= samples[i]]
frequency = (len(rises) - 1) * 44100 / (rises[-1] - rises[0])
amplitude = math.sqrt(sum(v * v for v in samples) / len(samples)) * math.sqrt(2)
print("check-package: recorded %.1f s of %.1f Hz at amplitude %.3f" % (len(samples) / 44100, frequency, amplitude))
sys.exit(0 if abs(frequency - 1000) <= 10 and abs(amplitude - 0.5) <= 0.05 else 1)
PY
fi

apt purge -y -qq sondrel-capture >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get purge failed"; }
[ ! -e /usr/bin/sondrel-capture ] || fail "/usr/bin/sondrel-capture is still there after removal"
echo "check-package: removed again"
