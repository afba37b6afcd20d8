#!/usr/bin/env bash
# Whole-process measurements of ensemble patches on real executable pairs
# (two versions of one Debian package), against zstd's patch mode measured in
# the same run. Not a test: prints a table of figures and ratios.
#
#   bench/pairs.sh BUILD_DIR [WORK_DIR]
#
# The pairs are fetched with apt-get download into WORK_DIR (default
# /tmp/qnd-pairs) and reused; a pair whose packages the archive no longer
# offers is skipped. Environment:
#   QND_BENCH_CPU     core every run is pinned to (default 2)
#   QND_BENCH_ROUNDS  rounds, ours and the peer alternating (default 5)
#   QND_BENCH_PAIRS   names of the pairs to run (default: all)
#   QND_PATCH_BEFORE  a qnd_patch of another build, measured in the same run
set -euo pipefail

build="${1:?usage: bench/pairs.sh BUILD_DIR [WORK_DIR]}"
work="${2:-/tmp/qnd-pairs}"
qnd="$(cd "$build" && pwd)/bench/qnd_patch"
before="${QND_PATCH_BEFORE:-}"
cpu="${QND_BENCH_CPU:-2}"
rounds="${QND_BENCH_ROUNDS:-5}"
[ -x "$qnd" ] || { echo "no $qnd: build with -DQND_BUILD_BENCHMARKS=ON" >&2; exit 2; }
command -v zstd > /dev/null || { echo "zstd is missing (scripts/install-deps.sh)" >&2; exit 2; }

# name, package, old version, new version, path inside the package
pairs=(
  "ssh openssh-client 1:9.2p1-2+deb12u9 1:9.2p1-2+deb12u10 usr/bin/ssh"
  "libc libc6 2.36-9+deb12u7 2.36-9+deb12u14 lib/x86_64-linux-gnu/libc.so.6"
  "git git 1:2.39.5-0+deb12u2 1:2.39.5-0+deb12u3 usr/bin/git"
  "libcrypto libssl3 3.0.20-1~deb12u2 3.0.22-1~deb12u2 usr/lib/x86_64-linux-gnu/libcrypto.so.3"
  "libpython libpython3.11 3.11.2-6+deb12u8 3.11.2-6+deb12u9 usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"
)

mkdir -p "$work"
cd "$work"

# Extracts one file of one package version to $3; false when unavailable.
fetch() {
  local package="$1" version="$2" target="$3" path="$4"
  [ -s "$target" ] && return 0
  local dir="deb-$package-${version//[:~+]/_}"
  mkdir -p "$dir"
  if ! ls "$dir"/*.deb > /dev/null 2>&1; then
    (cd "$dir" && apt-get download "$package=$version" > /dev/null 2>&1) || return 1
  fi
  dpkg-deb -x "$dir"/*.deb "$dir/root" && cp "$dir/root/$path" "$target"
}

# Runs a command pinned to the core; sets ms (wall time) and kb (peak RSS).
measure() {
  local start end
  start=$EPOCHREALTIME
  taskset -c "$cpu" /usr/bin/time -f %M -o rss.txt "$@" > /dev/null 2> err.txt || {
    echo "failed: $*" >&2
    cat err.txt >&2
    return 1
  }
  end=$EPOCHREALTIME
  ms=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) * 1000 }')
  kb=$(tail -1 rss.txt)
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
size() { stat -c %s "$1"; }

declare -A times rss

# One measured command per key, rounds times, the keys of one round
# alternating so that load changes hit every tool alike.
run_keys() {
  local round key
  for ((round = 0; round < rounds; ++round)); do
    for key in "$@"; do
      measure ${commands[$key]}
      times[$key]+="$ms "
      rss[$key]+="$kb "
    done
  done
}

printf '| pair | measure | %s |\n' "figures and ratios"
for entry in "${pairs[@]}"; do
  read -r name package oldv newv path <<< "$entry"
  if [ -n "${QND_BENCH_PAIRS:-}" ] && [[ " $QND_BENCH_PAIRS " != *" $name "* ]]; then
    continue
  fi
  if ! fetch "$package" "$oldv" "$name.old" "$path" || ! fetch "$package" "$newv" "$name.new" "$path"; then
    echo "| $name | skipped: $package $oldv or $newv not offered by the archive | |"
    continue
  fi
  times=()
  rss=()
  declare -A commands=(
    [create]="$qnd create $name.old $name.new $name.auto"
    [plain]="$qnd create-plain $name.old $name.new $name.plain"
    [elements]="$qnd create-elements $name.old $name.new $name.elements"
    [zstd]="zstd -q -f -19 --long=30 --patch-from=$name.old $name.new -o $name.zst"
  )
  [ -n "$before" ] && commands[before]="$before create-elements $name.old $name.new $name.before"
  run_keys "${!commands[@]}"
  declare -A create_ms=()
  for key in "${!commands[@]}"; do create_ms[$key]=$(median ${times[$key]}); done

  times=()
  rss=()
  commands=(
    [auto]="$qnd apply $name.old $name.auto out.auto"
    [plain]="$qnd apply $name.old $name.plain out.plain"
    [elements]="$qnd apply $name.old $name.elements out.elements"
    [body]="$qnd body $name.elements"
    [idle]="$qnd idle"
    [zstd]="zstd -q -f -d --long=30 --patch-from=$name.old $name.zst -o out.zst"
    [zstdidle]="zstd -q -f -d --long=30 empty.zst -o out.empty"
  )
  : > empty && zstd -q -f empty -o empty.zst
  [ -n "$before" ] && commands[before]="$before apply $name.old $name.before out.before"
  run_keys "${!commands[@]}"
  for out in auto plain elements zst ${before:+before}; do
    cmp -s "out.$out" "$name.new" || { echo "out.$out differs from $name.new" >&2; exit 1; }
  done

  newsize=$(size "$name.new")
  zs=$(size "$name.zst")
  echo "| $name | sizes old/new | $(size "$name.old") / $newsize bytes |"
  echo "| $name | $( "$qnd" describe "$name.auto") | |"
  for key in auto plain elements ${before:+before}; do
    file="$name.$key"
    echo "| $name | patch $key | $(size "$file") bytes = $(ratio "$(size "$file")" "$zs")x zstd ($zs) |"
  done
  echo "| $name | elements / plain size | $(ratio "$(size "$name.elements")" "$(size "$name.plain")")x |"
  zc=${create_ms[zstd]}
  for key in create plain elements ${before:+before}; do
    echo "| $name | create $key | ${create_ms[$key]} ms = $(ratio "${create_ms[$key]}" "$zc")x zstd ($zc ms) |"
  done
  za=$(median ${times[zstd]})
  zr=$(median ${rss[zstd]})
  idle=$(median ${rss[idle]})
  zidle=$(median ${rss[zstdidle]})
  for key in auto plain elements body ${before:+before}; do
    t=$(median ${times[$key]})
    r=$(median ${rss[$key]})
    echo "| $name | apply $key | $t ms = $(ratio "$t" "$za")x zstd ($za ms); peak $r KB = $(ratio "$((r * 1024))" "$newsize")x new, above idle $(ratio "$(((r - idle) * 1024))" "$newsize")x (zstd $(ratio "$((zr * 1024))" "$newsize")x, above idle $(ratio "$(((zr - zidle) * 1024))" "$newsize")x) |"
  done
done
