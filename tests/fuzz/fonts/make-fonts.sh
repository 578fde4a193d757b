#!/usr/bin/env bash
# Rebuilds the damaged font files that once sent stb_truetype reading out of bounds
# (glyph, loca and cmap offsets) although their table directory checks out. Each is
# DejaVuSans.ttf from Debian's fonts-dejavu-core with a few bytes changed: patches.txt
# beside this script has one line per font, its name and then offset:byte pairs
# (offsets from 0). The font tests and tools/fuzz.sh run it.
# Usage: make-fonts.sh OUTPUT_DIR      (needs fonts-dejavu-core and python3)
set -eu
out=${1:?output folder}
base=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
[ -f "$base" ] || { echo "needs $base (Debian package fonts-dejavu-core)" >&2; exit 1; }
mkdir -p "$out"
python3 - "$base" "$out" "$(dirname "$0")/patches.txt" <<'PY'
import sys
base, out, patches = sys.argv[1:4]
data = open(base, "rb").read()
for line in open(patches):
    name, *pairs = line.split()
    b = bytearray(data)
    for p in pairs:
        i, v = p.split(":")
        b[int(i)] = int(v)
    open(f"{out}/{name}.ttf", "wb").write(b)
    print(f"{out}/{name}.ttf")
PY
