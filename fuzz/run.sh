#!/usr/bin/env bash
# Runs every built fuzzer over its committed corpus, then for a short bounded
# time, several side by side. Usage: fuzz/run.sh BUILD_DIR [SECONDS]
# QND_FUZZ_JOBS caps how many run at once (default: one per core).
set -euo pipefail
build="$1"
seconds="${2:-20}"
here="$(cd "$(dirname "$0")" && pwd)"
jobs="${QND_FUZZ_JOBS:-$(nproc)}"
# Each fuzzer may grow to its 2 GiB limit; more at once than the free memory
# holds would turn one fuzzer's growth into another's out-of-memory kill.
fit="$(awk '/^MemAvailable:/ { print int($2 / (2048 * 1024)) }' /proc/meminfo)"
[ "$fit" -lt "$jobs" ] && jobs="$fit"
[ "$jobs" -ge 1 ] || jobs=1

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# One fuzzer's run; its output and exit code land in the scratch directory,
# so parallel runs never interleave their lines.
fuzz_one() {
  local bin="$1" name="$2"
  local corpus="$here/corpus/$name" work="$scratch/$name"
  mkdir -p "$corpus" "$work"
  ls "$corpus" | wc -l > "$work.count"
  # The corpus replay, then new inputs; new ones go to the scratch directory
  # so the committed corpus stays as it is.
  local rc=0
  "$bin" -rss_limit_mb=2048 -timeout=20 -max_total_time="$seconds" \
    -print_final_stats=1 "$work" "$corpus" > "$work.log" 2>&1 || rc=$?
  echo "$rc" > "$work.rc"
}

names=()
running=0
for bin in "$build"/fuzz/fuzz_*; do
  # Skip the build tools' own directories (automoc makes one per target).
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name="${bin##*/fuzz_}"
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$bin" "$name" &
  running=$((running + 1))
  names+=("$name")
done
wait
echo "== fuzz: ${#names[@]} fuzzers, up to $jobs at once, ${seconds}s each"

status=0
for name in "${names[@]}"; do
  work="$scratch/$name"
  echo "== fuzz $name: corpus $(cat "$work.count" 2> /dev/null || echo '?') files, then ${seconds}s"
  # A run that left no exit code died before it could run the fuzzer.
  if [ "$(cat "$work.rc" 2> /dev/null || echo missing)" != 0 ]; then
    echo "fuzz $name failed (exit $(cat "$work.rc" 2> /dev/null || echo unknown))"
    tail -60 "$work.log" 2> /dev/null || true
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$work.log" | tail -2 || true
  fi
done
exit "$status"
