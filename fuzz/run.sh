#!/usr/bin/env bash
# Runs every built fuzzer over its committed corpus, then for a short bounded
# time. Usage: fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
build="$1"
seconds="${2:-20}"
here="$(cd "$(dirname "$0")" && pwd)"
status=0
for bin in "$build"/fuzz/fuzz_*; do
  # Skip the build tools' own directories (automoc makes one per target).
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name="${bin##*/fuzz_}"
  corpus="$here/corpus/$name"
  work="$(mktemp -d)"
  mkdir -p "$corpus"
  echo "== fuzz $name: corpus $(ls "$corpus" | wc -l) files, then ${seconds}s"
  # The corpus replay, then new inputs; new ones go to a scratch directory so
  # the committed corpus stays as it is.
  if ! "$bin" -rss_limit_mb=2048 -timeout=20 -max_total_time="$seconds" \
       -print_final_stats=1 "$work" "$corpus" > "$work.log" 2>&1; then
    tail -60 "$work.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$work.log" | tail -2 || true
  fi
  rm -rf "$work" "$work.log"
done
exit "$status"
