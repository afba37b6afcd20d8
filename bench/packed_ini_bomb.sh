#!/usr/bin/env bash
# Peak memory and temp-directory bytes of the real updater against a packed
# product ini that unpacks to 4 GiB - 1 zero bytes (a few hundred KiB on the
# wire). Not a test: prints the figures.
#
#   bench/packed_ini_bomb.sh BUILD_DIR [WORK_DIR]
#
# Serves the bomb from WORK_DIR (default /tmp/qnd-bomb) with the tests' HTTP
# server on 127.0.0.1 only, runs BUILD_DIR/src/app/update for a client update
# to version 2 under /usr/bin/time -v, samples the bytes below its temp
# directory every 0.2 s until "Update failed" is on its standard error (the
# failed session then waits in its window), and ends it.
set -euo pipefail

build="$(cd "${1:?usage: bench/packed_ini_bomb.sh BUILD_DIR [WORK_DIR]}" && pwd)"
work="${2:-/tmp/qnd-bomb}"
updater="$build/src/app/update"
httpd="$build/tests/support/qnd_test_httpd"
for tool in "$updater" "$httpd" /usr/bin/time python3; do
  [ -x "$tool" ] || command -v "$tool" > /dev/null || { echo "no $tool" >&2; exit 2; }
done

rm -rf "$work"
mkdir -p "$work/root/2" "$work/client" "$work/config" "$work/tmp" "$work/home"
bomb="$work/root/2/qnd_client_linux_amd64.ini._lzma2_"

# Magic, CRC, directive 1, then one LZMA2 block: dictionary property (16 is
# 1 MiB), the unpacked size and a raw LZMA2 stream. The stream is the chunks
# of 2 MiB of zeros over and over (each run starts with a dictionary reset,
# so it may follow any other), compressed once instead of 2048 times.
python3 - "$bomb" << 'EOF'
import lzma, sys, zlib
size = (4 << 30) - 1
run = 2 << 20
filters = [{"id": lzma.FILTER_LZMA2, "dict_size": 1 << 20}]
def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)
def chunks(n):
    raw = lzma.compress(bytes(n), format=lzma.FORMAT_RAW, filters=filters)
    assert (raw[0] == 0x01 or raw[0] >= 0xE0) and raw[-1] == 0  # opens with a dictionary reset
    return raw[:-1]
full, rest = divmod(size, run)
stream = chunks(run) * full + (chunks(rest) if rest else b"") + b"\0"
check = lzma.decompress(chunks(run) * 2 + chunks(5) + b"\0", format=lzma.FORMAT_RAW, filters=filters)
assert check == bytes(2 * run + 5)
crc, zeros = 0, bytes(64 << 20)
for at in range(0, size, len(zeros)):
    crc = zlib.crc32(zeros[:min(len(zeros), size - at)], crc)
with open(sys.argv[1], "wb") as f:
    f.write(varint(0x7EA1769) + varint(crc ^ 0xFFFFFFFF) + varint(1) + bytes([16]) + varint(size) + stream)
EOF
echo "bomb: $(stat -c %s "$bomb") bytes on the wire, declares $(((4 << 30) - 1)) bytes"

"$httpd" "$work/root" > "$work/httpd.out" 2> /dev/null &
server=$!
trap 'kill $server 2> /dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^port ' "$work/httpd.out" 2> /dev/null && break
  sleep 0.1
done
port="$(sed -n 's/^port //p' "$work/httpd.out")"
printf '[Channel]\nalpha=http://127.0.0.1:%s/\nalphaRevno=2\n' "$port" > "$work/config/update.ini"
cp "$updater" "$work/client/update"
: > "$work/tmp/qnd_update_log"

env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY --chdir="$work/client" QND_CONFIG_DIR="$work/config" \
  TMPDIR="$work/tmp" HOME="$work/home" QT_QPA_PLATFORM=offscreen \
  /usr/bin/time -v -o "$work/time.txt" ./update --clientupdate client_linux_amd64 2 2> "$work/stderr.txt" &
timer=$!
start=$(date +%s.%N)
peak_tmp=0
for _ in $(seq 3000); do
  bytes=$(du -sb --exclude=quendrail_update_log "$work/tmp" | cut -f1)
  [ "$bytes" -gt "$peak_tmp" ] && peak_tmp=$bytes
  grep -q 'Update failed' "$work/stderr.txt" 2> /dev/null && break
  sleep 0.2
done
end=$(date +%s.%N)
# The updater is the only child of time; time reports once it has ended.
kill -TERM "$(pgrep -P $timer)" 2> /dev/null || true
wait $timer 2> /dev/null || true

echo "standard error of the updater:"
sed 's/^/  /' "$work/stderr.txt"
echo "seconds to the failure: $(echo "$end - $start" | bc)"
echo "peak temp-directory bytes (log excluded): $peak_tmp"
grep -E 'Maximum resident set size' "$work/time.txt"
