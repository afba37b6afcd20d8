#!/usr/bin/env bash
# Stress run of the swap race: TRIALS sessions (default 200) of the real
# updater program, each while a client directory is exchanged with a link to
# a directory outside, over and over. No trial may write outside; prints the
# figures at the end. Bounded by SECONDS (default 1800).
# Usage: scripts/swap_race.sh [BUILD_DIR] [TRIALS] [SECONDS]
set -euo pipefail
. "$(dirname "$0")/soak_common.sh"
build=${1:-build/normal}
trials=${2:-200}
seconds=${3:-1800}
export QND_SWAP_TRIALS="$trials"
run_demo_test "$build" DirectorySwappedForALinkDuringTheSessionIsNeverWrittenThrough 'swap race:|written outside' "$seconds"
