#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer configuration,
# and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQND_BUILD_BENCHMARKS=ON
cmake --build build/normal -j "$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQND_SANITIZE=ON
cmake --build build/asan -j "$jobs"

# The engine's fuzzers: clang, libFuzzer, ASan and UBSan; corpus replay plus a
# short bounded run each.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQND_BUILD_FUZZERS=ON -DQND_BUILD_TESTS=OFF
cmake --build build/fuzz -j "$jobs" --target fuzzers

# Each test belongs to exactly one suite, so `ctest -L unit|e2e|soak` together
# select every test; the runs below still take every test, labelled or not.
suites_cover() {
  local dir=$1 all none sum=0 label
  all=$(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')
  none=$(ctest --test-dir "$dir" -N -LE '^(unit|e2e|soak)$' | sed -n 's/^Total Tests: //p')
  for label in unit e2e soak; do
    sum=$((sum + $(ctest --test-dir "$dir" -N -L "^$label\$" | sed -n 's/^Total Tests: //p')))
  done
  # With no test unlabelled, the counts add up only when none has two labels.
  if [ "$none" != 0 ] || [ "$sum" != "$all" ]; then
    echo "$dir: of $all tests $none are in no suite; the unit, e2e and soak suites hold $sum"
    return 1
  fi
}

status=0
suites_cover build/normal || status=1
bash scripts/check-format.sh || { echo 'C++ sources differ from .clang-format (run clang-format -i on them)'; status=1; }
bash scripts/check-layers.sh || status=1
bash fuzz/run.sh build/fuzz "${QND_FUZZ_SECONDS:-20}" || status=1

ctest --test-dir build/normal --output-on-failure -j "$jobs" || status=1

export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
ctest --test-dir build/asan --output-on-failure -j "$jobs" || status=1
bash scripts/readme_trial.sh || status=1

exit "$status"
