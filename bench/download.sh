#!/usr/bin/env bash
# Whole-process measurements of downloading and verifying an update's files
# against curl and sha512sum measured in the same run. Not a test: prints a
# table of figures and ratios.
#
#   bench/download.sh BUILD_DIR [WORK_DIR]
#
# Serves 40 random files of 5 MiB (200 MiB) from WORK_DIR (default
# /tmp/qnd-download) with the tests' HTTP server on 127.0.0.1 only, then, in
# alternating rounds:
#   fetch:  qnd_fetch (the download list, 6 streams, each file checked by its
#           SHA-512) against curl --parallel-max 6 followed by sha512sum -c;
#   verify: qnd_fetch --verify (the digest check alone, file after file, one
#           core) against sha512sum -c on the same core.
# Environment: QND_BENCH_ROUNDS (default 5), QND_BENCH_CPU (default 2),
# QND_FETCH_BEFORE (a qnd_fetch of another build, measured in the same run).
set -euo pipefail

build="$(cd "${1:?usage: bench/download.sh BUILD_DIR [WORK_DIR]}" && pwd)"
work="${2:-/tmp/qnd-download}"
rounds="${QND_BENCH_ROUNDS:-5}"
cpu="${QND_BENCH_CPU:-2}"
fetch="$build/bench/qnd_fetch"
before="${QND_FETCH_BEFORE:-}"
httpd="$build/tests/support/qnd_test_httpd"
for tool in "$fetch" "$httpd"; do
  [ -x "$tool" ] || { echo "no $tool: build with tests and -DQND_BUILD_BENCHMARKS=ON" >&2; exit 2; }
done
command -v curl > /dev/null || { echo "curl is missing (scripts/install-deps.sh)" >&2; exit 2; }

version=7
files="$work/srv/$version/files"
mkdir -p "$files"
cd "$work"
if [ ! -s manifest ]; then
  for i in $(seq -w 0 39); do head -c $((5 << 20)) /dev/urandom > "$files/f$i.bin"; done
  (cd "$files" && sha512sum f*.bin) > sums
  while read -r sum name; do echo "$sum $(stat -c %s "$files/$name") $name"; done < sums > manifest
fi

"$httpd" srv > httpd.out 2> /dev/null &
server=$!
trap 'kill "$server" 2> /dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^port ' httpd.out 2> /dev/null && break; sleep 0.1; done
port=$(awk '/^port / { print $2 }' httpd.out)
[ -n "$port" ] || { echo "the HTTP server did not start" >&2; exit 1; }
base="http://127.0.0.1:$port/"

curl_args=()
while read -r _ name; do
  curl_args+=(-o "curl/$name" "$base$version/files/$name")
done < sums

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) * 1000 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

ours=() peer=() ours_verify=() peer_verify=() before_fetch=() before_verify=()
for ((round = 0; round < rounds; ++round)); do
  rm -rf ours curl && mkdir -p ours curl
  start=$EPOCHREALTIME
  "$fetch" "$base" "$version" 6 manifest "$work/ours"
  ours+=("$(elapsed "$start" "$EPOCHREALTIME")")

  start=$EPOCHREALTIME
  curl -sf --no-progress-meter --parallel --parallel-max 6 "${curl_args[@]}"
  (cd curl && sha512sum --quiet -c ../sums)
  peer+=("$(elapsed "$start" "$EPOCHREALTIME")")

  start=$EPOCHREALTIME
  taskset -c "$cpu" "$fetch" --verify manifest "$work/ours"
  ours_verify+=("$(elapsed "$start" "$EPOCHREALTIME")")

  start=$EPOCHREALTIME
  (cd ours && taskset -c "$cpu" sha512sum --quiet -c ../sums)
  peer_verify+=("$(elapsed "$start" "$EPOCHREALTIME")")

  if [ -n "$before" ]; then
    rm -rf ours && mkdir -p ours
    start=$EPOCHREALTIME
    "$before" "$base" "$version" 6 manifest "$work/ours"
    before_fetch+=("$(elapsed "$start" "$EPOCHREALTIME")")
    start=$EPOCHREALTIME
    taskset -c "$cpu" "$before" --verify manifest "$work/ours"
    before_verify+=("$(elapsed "$start" "$EPOCHREALTIME")")
  fi
done

o=$(median "${ours[@]}") p=$(median "${peer[@]}")
ov=$(median "${ours_verify[@]}") pv=$(median "${peer_verify[@]}")
echo "| measure | ours | peer | ours / peer |"
echo "|---|---|---|---|"
echo "| download + verify, 40 x 5 MiB, 6 streams | $o ms | $p ms (curl + sha512sum) | $(ratio "$o" "$p")x |"
echo "| verify only, one core | $ov ms = $(ratio $((200 * 1000)) "$ov") MiB/s | $pv ms = $(ratio $((200 * 1000)) "$pv") MiB/s (sha512sum) | $(ratio "$ov" "$pv")x |"
if [ -n "$before" ]; then
  bo=$(median "${before_fetch[@]}") bv=$(median "${before_verify[@]}")
  echo "| download + verify, other build | $bo ms | $p ms | $(ratio "$bo" "$p")x |"
  echo "| verify only, other build | $bv ms | $pv ms | $(ratio "$bv" "$pv")x |"
fi
