#!/usr/bin/env bash
# Who may connect, side by side with the build before the change: another user's attempts
# (listen, "exit", holding 70 connections), an older connection closing, 3,000 failed
# handshakes, CPU during a 20 s connect-and-reset flood, the time from the port line to
# the first audio message (median of 20, with and without a token); then the cost of the
# peer lookup per connection (Google Benchmark).
#
# Usage: bash bench/who_may_connect.sh [BUILD_DIR] [BASELINE_COMMIT]
#   BUILD_DIR defaults to build-test (configured with -DSONDREL_BENCH=ON); the baseline
#   (default: the commit before the token was introduced) is built in /tmp from the
#   repository's own history.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build-test}"
baseline_commit="${2:-$(git -C "$top" log --format=%H -1 --grep='^Only our own user' HEAD)~1}"
cmake --build "$build" -j2 --target sondrel-capture connect_probe who_may_connect_figures bench_peer_lookup

base="/tmp/sondrel-baseline-$(git -C "$top" rev-parse --short "$baseline_commit")"
if [ ! -x "$base/build/sondrel-capture" ]; then
  rm -rf "$base" && mkdir -p "$base/src"
  git -C "$top" archive "$baseline_commit" | tar -x -C "$base/src"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        "${launcher[@]}" >/dev/null
  cmake --build "$base/build" -j2 --target sondrel-capture
fi

"$build/bench/server/who_may_connect_figures" "$base/build/sondrel-capture" "$build/sondrel-capture" \
  "$build/tests/reliability/connect_probe"
echo
"$build/bench/server/bench_peer_lookup" --benchmark_min_time=0.5
