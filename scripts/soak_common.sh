# Helpers of the soak and stress scripts; sourced, not run.

# run_demo_test BUILD_DIR FILTER PATTERN [SECONDS]: runs the end-to-end test
# FILTER of the demo client against the real updater program (the caller
# exports its count variable), at most SECONDS (default 3600), and prints its
# verdict, its failures and the lines matching PATTERN.
run_demo_test() {
  local build=$1 filter=$2 pattern=$3 seconds=${4:-3600}
  export QT_QPA_PLATFORM=offscreen
  timeout "$seconds" "$build/tests/tools/tools_demo_e2e_test" --gtest_filter="DemoUpdateTest.$filter" 2>&1 \
    | grep -E "^\[ *(OK|FAILED|PASSED) *\]|Failure|$pattern" || true
}
