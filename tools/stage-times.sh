# Sourced by tools/run-tests.sh and tools/test-windows.sh: what each stage built, ran,
# skipped and failed, and how long its build and its tests took, one row per stage in
# the file $SONDREL_STAGE_TABLE; print_stage_table shows them as a table.
#
#   stage_begin NAME            starts the clock of a stage (its build)
#   stage_built                 the build is done; from here on the time is test time
#   stage_ctest ARGS...         runs ctest ARGS, shows its output, adds its counts
#   stage_node_test DIR         runs `node --test test/*.test.js` in DIR the same way
#   stage_end                   writes the stage's row

: "${SONDREL_STAGE_TABLE:=$(mktemp)}"
export SONDREL_STAGE_TABLE

stage_begin() {
  stage_name="$1"
  stage_started=$SECONDS
  stage_build_seconds=""
  stage_run=0
  stage_skipped=0
  stage_failed=0
}

stage_built() {
  stage_build_seconds=$((SECONDS - stage_started))
}

# Adds the counts of one test run's output (file $1) to the stage.
stage_count_ctest() {
  local summary run failed skipped
  summary="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)"
  run="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")"
  failed="$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")"
  skipped="$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$1" || true)"
  stage_run=$((stage_run + ${run:-0}))
  stage_failed=$((stage_failed + ${failed:-0}))
  stage_skipped=$((stage_skipped + ${skipped:-0}))
}

stage_ctest() {
  local log status=0
  log="$(mktemp)"
  ctest "$@" 2>&1 | tee "$log" || status=1
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  stage_count_ctest "$log"
  rm -f "$log"
  return $status
}

stage_node_test() {
  local dir="$1" log status=0 value
  log="$(mktemp)"
  # The pattern is expanded in DIR (node 20 does not expand it itself).
  (cd "$dir" && node --test test/*.test.js) 2>&1 | tee "$log" || status=1
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  value="$(sed -n 's/^# tests \([0-9]*\)$/\1/p' "$log" | tail -n 1)"
  stage_run=$((stage_run + ${value:-0}))
  value="$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$log" | tail -n 1)"
  stage_failed=$((stage_failed + ${value:-0}))
  value="$(sed -n 's/^# skipped \([0-9]*\)$/\1/p' "$log" | tail -n 1)"
  stage_skipped=$((stage_skipped + ${value:-0}))
  rm -f "$log"
  return $status
}

stage_end() {
  local total=$((SECONDS - stage_started))
  local build="${stage_build_seconds:-0}"
  printf '%s %s %s %s %s %s\n' "$stage_name" "$build" "$((total - build))" "$stage_run" "$stage_skipped" \
    "$stage_failed" >>"$SONDREL_STAGE_TABLE"
}

print_stage_table() {
  echo "=== stage times ==="
  awk 'BEGIN { printf "%-10s %8s %8s %6s %8s %7s\n", "stage", "build s", "tests s", "tests", "skipped", "failed" }
       { printf "%-10s %8d %8d %6d %8d %7d\n", $1, $2, $3, $4, $5, $6; b += $2; t += $3; n += $4; s += $5; f += $6 }
       END { printf "%-10s %8d %8d %6d %8d %7d\n", "all", b, t, n, s, f }' "$SONDREL_STAGE_TABLE"
}
