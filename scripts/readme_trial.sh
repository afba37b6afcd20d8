#!/usr/bin/env bash
# Follows the README's "Trying it on one machine" word for word: takes the
# ```sh blocks of step 1 ("Make a key pair") and of that paragraph from
# README.md, and runs them in order with bash -euo pipefail in a scratch copy
# of the checked-out tree (tracked and new files, uncommitted edits included),
# with HOME and TMPDIR in the scratch folder, no display and no Qt platform
# set. Exits 0 only when every command succeeds and the installed client then
# equals client-3 with version 3's updater.
#
# QND_TRIAL_SECONDS limits the whole run (default 1800: it builds
# build/local); QND_TRIAL_KEEP=1 keeps the scratch folder for a look.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${QND_TRIAL_SECONDS:-1800}
started=$SECONDS

result() { echo "readme_trial: $* ($((SECONDS - started)) s)"; }

# Prints the ```sh blocks between the line starting with $2 and the next line
# starting with $3 of file $1; fails when either marker or every block is
# missing, so a renamed heading cannot turn the trial into a no-op.
blocks() {
    awk -v start="$2" -v stop="$3" '
        !on && index($0, start) == 1 { on = 1 }
        on && index($0, stop) == 1 { ended = 1; exit }
        on && !inside && $0 == "```sh" { inside = 1; next }
        on && inside && $0 == "```" { inside = 0; n++; next }
        on && inside { print }
        END { if (!on || !ended || inside || n == 0) exit 1 }' "$1"
}

# The README serves on this port: a server already there would answer in
# place of the one the blocks start.
if (exec 3<>/dev/tcp/127.0.0.1/8731) 2>/dev/null; then
    result "FAIL: 127.0.0.1:8731 is already in use"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qnd-readme-trial.XXXXXX")
group=
# Ends what the trial started: the process group of its run (the server
# among it) and any process running a program from the scratch folder, such
# as a detached second step or an updater left waiting in its window.
finish() {
    if [ -n "$group" ]; then kill -KILL -- "-$group" 2>/dev/null || true; fi
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/}
        pid=${pid%/exe}
        case "$(readlink "$exe" 2>/dev/null)" in
        "$work"/*) kill -KILL "$pid" 2>/dev/null || true ;;
        esac
    done
    if [ "${QND_TRIAL_KEEP:-0}" = 1 ]; then echo "readme_trial: scratch folder kept: $work"; else rm -rf "$work"; fi
}
trap finish EXIT

script=$work/trial.sh
echo '# Step 1 of "Publishing an update"' > "$script"
if ! blocks README.md '**1. Make a key pair**' '**2. ' >> "$script"; then
    result "FAIL: no sh block under step 1 of README.md"
    exit 1
fi
echo '# "Trying it on one machine"' >> "$script"
if ! blocks README.md '**Trying it on one machine.**' '**What "update.ini" may hold.**' >> "$script"; then
    result "FAIL: no sh block in \"Trying it on one machine\" of README.md"
    exit 1
fi

# What is checked out, without build/, .git and what Git ignores (the
# README's own outputs in the root among them); deleted files are skipped.
repo=$work/repo
mkdir -p "$repo" "$work/home" "$work/tmp"
git ls-files -z -co --exclude-standard |
    while IFS= read -r -d '' f; do
        if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
    done |
    tar --null -T - -cf - | tar -xf - -C "$repo"

echo "readme_trial: running README.md's blocks in $repo:"
sed 's/^/    /' "$script"

# timeout makes its own process group, so that finish can end the whole run.
rc=0
(cd "$repo" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work/home" TMPDIR="$work/tmp" \
    timeout -k 10 "$limit" bash -euo pipefail "$script") &
group=$!
wait "$group" || rc=$?

if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    result "FAIL: the README's blocks did not finish within $limit s"
    exit 1
fi
if [ "$rc" != 0 ]; then
    result "FAIL: a command of the README's blocks failed (exit $rc)"
    exit 1
fi
# The blocks end by stopping their server.
for _ in $(seq 1 20); do
    (exec 3<>/dev/tcp/127.0.0.1/8731) 2>/dev/null || break
    sleep 0.5
done
if (exec 3<>/dev/tcp/127.0.0.1/8731) 2>/dev/null; then
    result "FAIL: the README's server still answers on 127.0.0.1:8731 after its blocks"
    exit 1
fi
# Checked here as well, so that a compare dropped from the README, or one
# whose failure the shell does not stop at, cannot pass a wrong result.
if ! cmp -s "$repo/installed/update" "$repo/updater-3/update" ||
    cmp -s "$repo/installed/update" "$repo/build/local/src/app/update"; then
    result "FAIL: the installed updater is not version 3's"
    exit 1
fi
if ! diff -r -x update.ini -x .qnd-lock "$repo/client-3" "$repo/installed"; then
    result "FAIL: the installed client differs from client-3"
    exit 1
fi
result "PASS: README.md's \"Trying it on one machine\" updated version 1 and its updater to version 3"
