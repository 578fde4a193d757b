#!/usr/bin/env bash
# The settings window of two builds side by side, on the virtual microphone under Xvfb +
# openbox, with the panel's font (./SourceHanSansSC-VF.ttf) in the working directory:
#   - "show" to the shown line (from its echo, as the parent sees both lines), median and
#     worst of 20 showings: on a quiet machine, then with two busy loops running;
#   - the font atlas: glyphs, pixels, bytes uploaded (the earlier recipe, the full Chinese
#     ranges, is rebuilt by bench_font_atlas; the current build logs its own);
#   - resident memory before the first show, while shown and after each hide, over 20
#     show/hide cycles.
# The same for two Windows builds under Wine when they are given.
#
# Usage: bash bench/panel_show.sh BASELINE_BUILD CURRENT_BUILD [WINDOWS_BASELINE WINDOWS_CURRENT]
#   *_BUILD: build folders holding sondrel-capture (CURRENT_BUILD with the benchmarks, for
#   bench/ui/bench_font_atlas); WINDOWS_*: folders holding sondrel-capture.exe and
#   wine-run (tools/build-windows.sh DIR). A baseline is built from the commit to compare
#   with, outside the clone:
#     mkdir /tmp/base && git archive COMMIT | tar -x -C /tmp/base
#     cmake -S /tmp/base -B /tmp/base/build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
#     cmake --build /tmp/base/build --target sondrel-capture
#     bash /tmp/base/tools/build-windows.sh /tmp/base/build-windows
# Every process it starts (Xvfb, openbox, PulseAudio, the programs, the busy loops, Wine)
# is ended by its PID.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ $# -eq 2 ] || [ $# -eq 4 ] || { sed -n '2,20p' "$0" >&2; exit 2; }
baseline="$(cd "$1" && pwd)"
current="$(cd "$2" && pwd)"
font="$(readlink -f "$top/SourceHanSansSC-VF.ttf")"
atlas_tool="$current/bench/ui/bench_font_atlas"
for file in "$baseline/sondrel-capture" "$current/sondrel-capture" "$font" "$atlas_tool"; do
  [ -e "$file" ] || { echo "missing $file" >&2; exit 2; }
done
windows=()
if [ $# -eq 4 ]; then
  windows=("$(cd "$3" && pwd)" "$(cd "$4" && pwd)")
  for dir in "${windows[@]}"; do
    for file in "$dir/sondrel-capture.exe" "$dir/wine-run"; do
      [ -e "$file" ] || { echo "missing $file" >&2; exit 2; }
    done
  done
fi

tmp="$(mktemp -d /tmp/panel_show.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -f "$tmp/pulse/pid" ]; then kill "$(cat "$tmp/pulse/pid")" 2>/dev/null || true; fi
  if [ -d "$tmp/wineprefix" ]; then WINEPREFIX="$tmp/wineprefix" wineserver -k 2>/dev/null || true; fi
  sleep 0.3
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

. "$(dirname "${BASH_SOURCE[0]}")/virtual_mic.sh"
start_virtual_mic "$tmp"

display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

if [ ${#windows[@]} -gt 0 ]; then
  export SONDREL_WINEPREFIX="$tmp/wineprefix" WINEDEBUG=-all
  mkdir -p "$SONDREL_WINEPREFIX"
  "${windows[1]}/wine-run" wineboot -i >/dev/null 2>&1 </dev/null
  # The first start of a program in a fresh prefix sets up Wine's services; not measured.
  printf 'exit\n' | "${windows[1]}/wine-run" "${windows[1]}/sondrel-capture.exe" "$tmp/warm-up.json" \
    >/dev/null 2>&1 || true
fi

baseline_atlas="$("$atlas_tool" "$font")"

python3 - "$tmp" "$font" "$baseline_atlas" "$baseline/sondrel-capture" "$current/sondrel-capture" \
  "${windows[@]}" <<'PY'
import os, queue, re, shutil, signal, statistics, subprocess, sys, threading, time

tmp, font, baseline_atlas = sys.argv[1:4]
programs = [("Linux", "baseline", [sys.argv[4]]), ("Linux", "current", [sys.argv[5]])]
if len(sys.argv) > 6:
    for label, folder in zip(("baseline", "current"), sys.argv[6:8]):
        programs.append(("Wine", label, [os.path.join(folder, "wine-run"), os.path.join(folder, "sondrel-capture.exe")]))

SHOWINGS = 20
SHOWN = '{ "event": "shown" }'
HIDDEN = '{ "event": "hidden" }'

def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1

class Capture:
    def __init__(self, command, name):
        self.dir = os.path.join(tmp, name)
        os.makedirs(self.dir)
        os.symlink(font, os.path.join(self.dir, "SourceHanSansSC-VF.ttf"))
        self.log = os.path.join(self.dir, "capture.log")
        self.process = subprocess.Popen(command + [os.path.join(self.dir, "settings.json"), self.log], cwd=self.dir,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.lines = queue.Queue()
        threading.Thread(target=self.read, daemon=True).start()
        self.expect(lambda line: line.startswith('{ "port": '), 30)
        for _ in range(200):
            if os.path.exists(os.path.join(self.dir, "settings.json")):
                break
            time.sleep(0.05)
        time.sleep(1.0)

    def read(self):
        for raw in self.process.stdout:
            self.lines.put((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\r\n")))

    def expect(self, matches, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("timed out waiting for a line")
            at, line = self.lines.get(timeout=left)
            if matches(line):
                return at

    def command(self, word):
        self.process.stdin.write((word + "\n").encode())
        self.process.stdin.flush()
        return self.expect(lambda line: line == "Getting command: " + word, 60)

    def show(self):
        echo = self.command("show")
        return (self.expect(lambda line: line == SHOWN, 60) - echo) * 1000.0

    def hide(self):
        self.command("hide")
        self.expect(lambda line: line == HIDDEN, 60)

    def stop(self):
        try:
            self.command("exit")
            self.process.wait(timeout=20)
        except Exception:
            self.process.kill()
            self.process.wait()

def atlas_of(log):
    with open(log, encoding="utf-8", errors="replace") as text:
        m = re.search(r"控制面板字体图集: (\d+)个字形, (\d+)x(\d+)像素, (\d+)字节", text.read())
    return {"glyphs": int(m[1]), "width": int(m[2]), "height": int(m[3]), "bytes": int(m[4])} if m else None

def measure(platform, label, command):
    name = f"{platform}-{label}"
    capture = Capture(command, name)
    pid = capture.process.pid
    result = {"rss_before": rss_kib(pid)}
    quiet, shown_rss, hidden_rss = [], [], []
    for _ in range(SHOWINGS):
        quiet.append(capture.show())
        time.sleep(0.5)
        shown_rss.append(rss_kib(pid))
        capture.hide()
        time.sleep(0.2)
        hidden_rss.append(rss_kib(pid))
    busy = [subprocess.Popen(["yes"], stdout=subprocess.DEVNULL) for _ in range(2)]
    loaded = []
    try:
        for _ in range(SHOWINGS):
            loaded.append(capture.show())
            capture.hide()
    finally:
        for loop in busy:
            loop.kill()
            loop.wait()
    capture.stop()
    result.update(quiet=quiet, loaded=loaded, shown_rss=max(shown_rss), hidden_first=hidden_rss[0],
                  hidden_last=hidden_rss[-1], atlas=atlas_of(capture.log))
    return result

def old_atlas():
    fields = dict(item.split("=") for item in baseline_atlas.split())
    return {k: int(float(v)) for k, v in fields.items()}

results = {}
for platform, label, command in programs:
    print(f"measuring {platform} {label} ...", file=sys.stderr, flush=True)
    results[(platform, label)] = measure(platform, label, command)

def mib(kib):
    return f"{kib / 1024:.1f}"

for platform in ("Linux", "Wine"):
    if (platform, "current") not in results:
        continue
    b, c = results[(platform, "baseline")], results[(platform, "current")]
    old = old_atlas()
    b_atlas = b["atlas"] or old
    c_atlas = c["atlas"] or {"glyphs": 0, "width": 0, "height": 0, "bytes": 0}
    rows = [
        ("show -> shown, quiet, median (ms)", f"{statistics.median(b['quiet']):.0f}", f"{statistics.median(c['quiet']):.0f}"),
        ("show -> shown, quiet, worst (ms)", f"{max(b['quiet']):.0f}", f"{max(c['quiet']):.0f}"),
        ("show -> shown, 2 busy loops, median (ms)", f"{statistics.median(b['loaded']):.0f}", f"{statistics.median(c['loaded']):.0f}"),
        ("show -> shown, 2 busy loops, worst (ms)", f"{max(b['loaded']):.0f}", f"{max(c['loaded']):.0f}"),
        ("atlas glyphs", str(b_atlas["glyphs"]), str(c_atlas["glyphs"])),
        ("atlas pixels", f"{b_atlas['width']}x{b_atlas['height']}", f"{c_atlas['width']}x{c_atlas['height']}"),
        ("atlas bytes uploaded", str(b_atlas["bytes"]), str(c_atlas["bytes"])),
        ("RSS before first show (MiB)", mib(b["rss_before"]), mib(c["rss_before"])),
        ("RSS while shown, highest (MiB)", mib(b["shown_rss"]), mib(c["shown_rss"])),
        ("RSS after 1st hide (MiB)", mib(b["hidden_first"]), mib(c["hidden_first"])),
        ("RSS after 20th hide (MiB)", mib(b["hidden_last"]), mib(c["hidden_last"])),
        ("growth over 20 cycles (MiB)", mib(b["hidden_last"] - b["hidden_first"]), mib(c["hidden_last"] - c["hidden_first"])),
    ]
    print(f"\n{platform}: {'':34} {'baseline':>12} {'current':>12}")
    for name, before, after in rows:
        print(f"  {name:40} {before:>12} {after:>12}")
print("\nbaseline atlas: the full Chinese ranges as bench_font_atlas builds them (" + baseline_atlas + ")")
PY
