#!/usr/bin/env bash
# Writes version 1, 2 or 3 of the "Quendrail 3 demo client" into DIR:
#   qndclient_runscript.sh   prints the version (and runs the client program)
#   qndclient_linux_amd64    a small ELF program built here, so updates patch an executable
#   data/...                 data files: one unchanged, one changed, one added, one removed
# Usage: make_demo_client.sh DIR VERSION   (CC picks the compiler, default cc)
set -euo pipefail
dir=${1:?usage: make_demo_client.sh DIR VERSION}
version=${2:?usage: make_demo_client.sh DIR VERSION}
case "$version" in 1|2|3) ;; *) echo "make_demo_client.sh: version must be 1, 2 or 3" >&2; exit 2 ;; esac
cc=${CC:-cc}

mkdir -p "$dir/data"
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT

# The program differs between versions in its text and in code, so the patch
# engine has an executable with moved calls to work on.
cat > "$src/client.c" <<C
#include <stdio.h>
#include <string.h>
static const char* greeting(int n) { return n > 1 ? "welcome back" : "welcome"; }
$( [ "$version" -ge 2 ] && echo 'static int checksum(const char* s) { int c = 0; while (*s) c = c * 31 + *s++; return c & 0xffff; }' )
$( [ "$version" = 3 ] && echo 'static int twice(int n) { return n * 2; }' )
int main(int argc, char** argv) {
    (void)argv;
    printf("Quendrail 3 demo client program %d: %s\n", $version, greeting(argc));
$( [ "$version" -ge 2 ] && echo '    printf("news checksum %d\n", checksum("Quendrail"));' )
$( [ "$version" = 3 ] && echo '    printf("twice %d\n", twice(argc));' )
    return 0;
}
C
"$cc" -O1 -o "$dir/qndclient_linux_amd64" "$src/client.c"

cat > "$dir/qndclient_runscript.sh" <<SH
#!/bin/sh
# Quendrail 3 demo client, version $version
here=\$(dirname "\$0")
echo "Quendrail 3 demo client version $version"
if [ -n "\${QND_DEMO_MARK:-}" ]; then
    # What the client was started with, before it says it ran: the tests
    # look for descriptors of its updater's lock among them.
    ls -l /proc/\$\$/fd > "\$QND_DEMO_MARK.fds"
    echo "Quendrail 3 demo client version $version" > "\$QND_DEMO_MARK"
fi
exec "\$here/qndclient_linux_amd64"
SH
chmod 755 "$dir/qndclient_runscript.sh"

# Unchanged between versions.
: > "$dir/data/empty.dat"
for i in $(seq 1 200); do echo "level $i: $((i * 7919 % 1000)) gems"; done > "$dir/data/levels.dat"

# Changed: a small edit in a larger text, so its patch is much smaller than the file.
for i in $(seq 1 300); do
    if [ "$version" = 3 ] && [ $((i % 70)) = 0 ]; then echo "line $i of the readme, revised for version 3"
    elif [ "$version" -ge 2 ] && [ $((i % 50)) = 0 ]; then echo "line $i of the readme, revised for version 2"
    else echo "line $i of the readme"; fi
done > "$dir/data/readme.txt"

if [ "$version" = 1 ]; then
    echo "notes that version 2 no longer ships" > "$dir/data/old_notes.txt"
else
    printf 'Quendrail 3 demo news\nVersion %s brings a new map.\n' "$version" > "$dir/data/news.txt"
    echo "extra settings=$version" > "$dir/data/extra.dat"
    { head -c 65536 /dev/zero | tr '\0' 'q'; [ "$version" = 3 ] && head -c 1000 /dev/zero | tr '\0' 'r'; true; } > "$dir/data/map.bin"
fi
