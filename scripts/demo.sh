#!/usr/bin/env bash
# Installs what is missing, builds the updater and runs its main job: a real
# update of a demo client against a local file server (tests/tools/run_demo.sh
# tells the steps). Exits 0 only when the client was updated correctly.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/normal -j "$(nproc)"

exec bash tests/tools/run_demo.sh build/normal
