#!/usr/bin/env bash
# Soak run of the crash tests. "client" (the default): the real updater
# program killed KILLS times (default 120) at points spread over the
# replacement phase, each kill followed by a rerun that must end at exactly
# version 2 or, with the server unreachable, exactly version 1.
# "selfupdate": a self-update killed KILLS times over its two steps and
# while its client step replaces the installed updater; every kill must
# leave a runnable updater (the old or the new program), and the self-update
# that follows must end at exactly version 2, installed updater included,
# and leave no temp directory. "recovery": sessions with type, mode and tree
# changes killed near their end, then the recovery at the next start killed
# three times between two of its steps, KILLS kills in all, each scenario
# followed by a run that must end at exactly version 2. Prints the figures
# at the end.
# Usage: scripts/crash_soak.sh [BUILD_DIR] [KILLS] [client|selfupdate|recovery]
set -euo pipefail
. "$(dirname "$0")/soak_common.sh"
build=${1:-build/normal}
kills=${2:-120}
mode=${3:-client}
case "$mode" in
client) filter='KilledUpdaterLeavesEveryFileOldOrNewAndTheNextStartRecovers' ;;
selfupdate) filter='KilledSelfUpdateLeavesNoTempDirectoryOnceTheNextRunEnds' ;;
recovery) filter='KilledRecoveryEndsAtTheNewVersionAfterTheNextStart' ;;
*)
  echo "unknown mode $mode (client, selfupdate or recovery)" >&2
  exit 2
  ;;
esac
export QND_CRASH_KILLS="$kills" QND_SELF_UPDATE_KILLS="$kills" QND_RECOVERY_KILLS="$kills"
run_demo_test "$build" "$filter" 'crash test:|kill test:|kill at'
