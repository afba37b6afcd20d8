#!/usr/bin/env bash
# The demo's run, on an existing build: run_demo.sh BUILD_DIR [UPDATER]
#
# Follows the README's "Publishing an update": version 1 of the "Quendrail 3
# demo client" is installed in a scratch directory with the updater program
# (default BUILD_DIR/src/app/update) beside it; version 2 is published with
# qnd_publish (signed product ini, each file in its smallest form, patches
# against version 1; the tree carries version 2's updater, the program with a
# few bytes appended), with the updater's tree of version 2 beside it and the
# version reply naming it the stable channel's newest, checked with its
# --verify mode, and served on 127.0.0.1 in the README's server layout. The
# updater, started without arguments, asks the version query, updates
# itself, and the new updater updates the client to version 2 (its own
# installed program included), starts the client's run script and exits.
# Exits 0 only when the installed files equal version 2, the installed
# updater is version 2's, and the started client reports version 2.
#
# QND_DEMO_KEY and QND_DEMO_PUBLIC_KEY name the key pair (default: the test
# key pair, which test builds trust); the updater must be built with the
# public half. QND_DEMO_KEEP=1 keeps the scratch directory for a look.
# QND_DEMO_FORM (auto, plain, gz or lzma2; default auto) is the form of the
# files fetched whole: the test suite publishes plain, since packing the
# updater takes most of the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:?usage: run_demo.sh BUILD_DIR [UPDATER]}" && pwd)
updater=${2:-$build/src/app/update}
publisher=$build/tools/publish/qnd_publish
httpd=$build/tests/support/qnd_test_httpd
key=${QND_DEMO_KEY:-$PWD/tests/fixtures/keys/test_private.der}
public_key=${QND_DEMO_PUBLIC_KEY:-$PWD/tests/fixtures/keys/test_public.der}
form=${QND_DEMO_FORM:-auto}
for tool in "$updater" "$publisher" "$httpd"; do
    [ -x "$tool" ] || { echo "demo: $tool was not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qnd-demo.XXXXXX")
httpd_pid=
finish() {
    if [ -n "$httpd_pid" ]; then kill "$httpd_pid" 2>/dev/null || true; wait "$httpd_pid" 2>/dev/null || true; fi
    if [ "${QND_DEMO_KEEP:-0}" = 1 ]; then echo "demo: scratch directory kept: $work"; else rm -rf "$work"; fi
}
trap finish EXIT

step() { printf '\n== %s\n' "$*"; }

step "Generating the demo client, versions 1 and 2"
bash tests/tools/make_demo_client.sh "$work/client-1" 1
bash tests/tools/make_demo_client.sh "$work/client-2" 2
mkdir -p "$work/config" "$work/tmp" "$work/home"

step "Installing version 1 with the updater beside it"
cp -a "$work/client-1" "$work/client"
cp "$updater" "$work/client/update"
(cd "$work/client" && find . -type f | sort)

step "Publishing version 2 with $(basename "$key")"
# Version 2 of the updater: the same program with bytes appended, which leave
# it runnable. The client tree carries it, so that it replaces the installed one.
mkdir -p "$work/updater-2"
cp "$updater" "$work/updater-2/update"
printf 'demo updater version 2' >> "$work/updater-2/update"
cp "$work/updater-2/update" "$work/client-2/update"
"$publisher" --key "$key" --form "$form" --new "$work/client-2" --version 2 --old "$work/client-1" \
    --out "$work/server/files/updater-images/client"
# The version's updater tree; the reply comes with it, once both trees are there.
"$publisher" --key "$key" --form "$form" --new "$work/updater-2" --version 2 --updater --no-patches \
    --out "$work/server/files/updater-images/client" --channel stable --versions-dir "$work/server/versions"

step "Checking the published tree against $(basename "$public_key")"
"$publisher" --verify --out "$work/server/files/updater-images/client" --version 2 \
    --public-key "$public_key" --old "$work/client-1" --versions-dir "$work/server/versions" --channel stable

# One local server stands in for both hosts: the updater reaches it as a
# proxy, and the request's path picks the file.
step "Serving both hosts' document roots on 127.0.0.1"
mkdir -p "$work/served"
cp -a "$work/server/files/." "$work/server/versions/." "$work/served/"
(cd "$work/served" && find . -type f | sort)
coproc HTTPD { exec "$httpd" "$work/served" 2>"$work/httpd.log"; }
httpd_pid=$HTTPD_PID
read -r -t 30 line <&"${HTTPD[0]}" || { echo "demo: the file server did not start" >&2; exit 1; }
proxy=http://127.0.0.1:${line#port }
echo "proxy for both hosts: $proxy"
printf '[update]\nproxy=%s\n' "$proxy" > "$work/client/update.ini"

step "Running the updater: update (itself first, then the client; the version comes from the version query)"
mark=$work/client-ran.txt
rc=0
env -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY -u no_proxy -u NO_PROXY http_proxy="$proxy" \
    QND_CONFIG_DIR="$work/config" TMPDIR="$work/tmp" HOME="$work/home" \
    QT_QPA_PLATFORM=offscreen QND_DEMO_MARK="$mark" \
    timeout 300 "$work/client/update" || rc=$?
echo "updater exit code: $rc"

# The new updater, started detached from the temp directory, starts the
# client's run script just before it exits.
for _ in $(seq 1 300); do
    [ -s "$mark" ] && break
    sleep 0.1
done

kill "$httpd_pid" 2>/dev/null || true
wait "$httpd_pid" 2>/dev/null || true
httpd_pid=
step "Requests the server answered"
cat "$work/httpd.log"

step "Result"
ok=1
[ "$rc" = 0 ] || { echo "FAIL: the updater exited with $rc"; ok=0; }
if diff -r --exclude=update.ini --exclude=.qnd-lock "$work/client-2" "$work/client"; then
    echo "installed files equal version 2"
else
    echo "FAIL: the installed files differ from version 2"; ok=0
fi
if cmp -s "$work/updater-2/update" "$work/client/update" && [ -x "$work/client/update" ]; then
    echo "the installed updater was replaced by version 2's"
else
    echo "FAIL: the installed updater is not version 2's"; ok=0
fi
if [ -s "$mark" ]; then
    echo "the updater started the client, which said: $(cat "$mark")"
    grep -q "version 2" "$mark" || { echo "FAIL: the started client is not version 2"; ok=0; }
else
    echo "FAIL: the updater did not start the client"; ok=0
fi
out=$("$work/client/qndclient_runscript.sh" 2>&1 || true)
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -q "demo client version 2" || { echo "FAIL: the run script does not print version 2"; ok=0; }

if [ "$ok" = 1 ]; then
    step "Demo passed: the client and its updater were updated from version 1 to version 2"
    exit 0
fi
step "Demo FAILED"
exit 1
