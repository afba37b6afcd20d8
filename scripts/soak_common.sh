# Helpers of the soak and stress scripts; sourced, not run.

# run_demo_test BUILD_DIR FILTER PATTERN [SECONDS]: runs the end-to-end test
# FILTER of the demo client against the real updater program (the caller
# exports its count variable), at most SECONDS (default 3600), prints its
# verdict, its failures and the lines matching PATTERN (the figures), and
# returns non-zero unless the test ran and passed.
run_demo_test() {
  local build=$1 filter=$2 pattern=$3 seconds=${4:-3600}
  local out rc=0
  export QT_QPA_PLATFORM=offscreen
  out=$(mktemp)
  timeout "$seconds" "$build/tests/tools/tools_demo_e2e_test" --gtest_filter="DemoUpdateTest.$filter" >"$out" 2>&1 \
    || rc=$?
  # The figures are printed whatever the outcome.
  grep -E "^\[ *(OK|FAILED|PASSED) *\]|Failure|$pattern" "$out" || true
  # A filter that matched nothing, or a run cut short, passed nothing.
  if [ "$rc" -eq 0 ] && ! grep -q '^\[  PASSED  \] 1 test' "$out"; then
    echo "no test of $filter passed" >&2
    rc=1
  fi
  rm -f "$out"
  if [ "$rc" -ne 0 ]; then
    echo "$filter failed (exit $rc)" >&2
  fi
  return "$rc"
}
