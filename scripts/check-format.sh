#!/usr/bin/env bash
# Fails when a C++ source differs from what .clang-format makes of it.
# The executable fixtures' C source is exempt: the committed binaries are
# built from it as it stands.
set -euo pipefail
cd "$(dirname "$0")/.."
find src deps tests tools bench fuzz \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) \
  -not -path 'tests/fixtures/*' -not -path '*/corpus/*' -print0 \
  | xargs -0 clang-format --dry-run -Werror
