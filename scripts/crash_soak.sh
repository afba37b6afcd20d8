#!/usr/bin/env bash
# Soak run of the crash test: the real updater program killed KILLS times
# (default 120) at points spread over the replacement phase, each kill
# followed by a rerun that must end at exactly version 2 or, with the server
# unreachable, exactly version 1. Prints the figures at the end.
# Usage: scripts/crash_soak.sh [BUILD_DIR] [KILLS]
set -euo pipefail
. "$(dirname "$0")/soak_common.sh"
build=${1:-build/normal}
kills=${2:-120}
export QND_CRASH_KILLS="$kills"
run_demo_test "$build" KilledUpdaterLeavesEveryFileOldOrNewAndTheNextStartRecovers 'crash test:|kill at line'
