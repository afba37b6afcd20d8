#!/usr/bin/env bash
# Fails when a library includes a header of a library above it:
#   src/base   may include none of src/common, src/tasks, src/app;
#   src/common may include none of src/tasks, src/app;
#   src/tasks  may include none of src/app.
# Headers are found by their quoted file name, as every include here is written.
set -euo pipefail
cd "$(dirname "$0")/.."

headers() { find "$@" -name '*.h' -printf '%f\n' | sort -u; }

status=0
check() {
    local layer=$1
    shift
    local forbidden
    forbidden=$(headers "$@")
    while IFS= read -r hit; do
        local name=${hit#*#include \"}
        name=${name%%\"*}
        if grep -qxF "$name" <<<"$forbidden"; then
            echo "layering: $hit (from $*)"
            status=1
        fi
    done < <(grep -rn '^#include "' "$layer" --include='*.h' --include='*.cpp' || true)
}

check src/base src/common src/tasks src/app
check src/common src/tasks src/app
check src/tasks src/app

# The base library links nothing of the updater.
if grep -E 'target_link_libraries\(qnd_base' src/base/CMakeLists.txt | grep -qE 'qnd_(common|tasks|app)'; then
    echo "layering: qnd_base links a library above it"
    status=1
fi
if grep -E 'target_link_libraries\(qnd_common' -A2 src/common/CMakeLists.txt | grep -qE 'qnd_(tasks|app)'; then
    echo "layering: qnd_common links a library above it"
    status=1
fi
[ $status -eq 0 ] && echo "layers: ok"
exit $status
