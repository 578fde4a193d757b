#!/usr/bin/env bash
# Who may connect, side by side with the build before the change: another user's attempts
# (listen, "exit", holding 70 connections), an older connection closing, 3,000 failed
# handshakes, CPU during a 20 s connect-and-reset flood, the time from the port line to
# the first audio message (median of 20, with and without a token); with a token, how many
# of 20 connections of its bearer get audio while another user keeps 8 or 64 connections
# stalled (also from before the port line); the time to the port line with a FIFO at the
# settings or the log path; how often 300 starts write through a link that another user
# keeps swapping with its own file in a shared folder; then the cost of the peer lookup
# per connection (Google Benchmark). Needs root for another user and for the sysctls the
# link race turns off; takes half an hour or more.
#
# Usage: bash bench/who_may_connect.sh [BUILD_DIR] [BASELINE_COMMIT]
#   BUILD_DIR defaults to build-test (configured with -DSONDREL_BENCH=ON); the baseline
#   (default: the commit before the token was introduced) is built in /tmp from the
#   repository's own history.
set -euo pipefail

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build-test}"
baseline_commit="${2:-$(git -C "$top" log --format=%H -1 --grep='^Only our own user' HEAD)~1}"
nice cmake --build "$build" -j2 --target sondrel-capture connect_probe who_may_connect_figures bench_peer_lookup

base="/tmp/sondrel-baseline-$(git -C "$top" rev-parse --short "$baseline_commit")"
# The baseline's tree is laid out like ours (source root, build-test inside it), so that
# ccache, with the base folder set to each tree, reuses the objects of unchanged files.
if [ ! -x "$base/build-test/sondrel-capture" ]; then
  rm -rf "$base" && mkdir -p "$base"
  git -C "$top" archive "$baseline_commit" | tar -x -C "$base"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$base" -B "$base/build-test" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_SANITIZE= \
        -DSONDREL_WERROR=ON -DBUILD_TESTING=OFF -DSONDREL_BENCH=OFF "${launcher[@]}" >/dev/null
  CCACHE_BASEDIR="$base" CCACHE_NOHASHDIR=1 nice cmake --build "$base/build-test" -j2 --target sondrel-capture
fi

# The figures program takes options after its three paths (see its usage), e.g.
# WHO_MAY_CONNECT_OPTIONS="--race-starts 50" for a shorter run of the link race.
# shellcheck disable=SC2086
"$build/bench/server/who_may_connect_figures" "$base/build-test/sondrel-capture" "$build/sondrel-capture" \
  "$build/tests/process/connect_probe" ${WHO_MAY_CONNECT_OPTIONS:-}
echo
"$build/bench/server/bench_peer_lookup" --benchmark_min_time=0.5
