#!/usr/bin/env bash
# Makes and applies a patch for every pair of executables in two folders, as
# the publisher does (the generator keeps the smaller of its two forms), with
# each given build's qnd_patch, and reports failures, sizes and the form kept.
# Not a test: a check to run over real files, e.g. the binaries of two
# versions of a set of Debian packages.
#
#   bench/sweep.sh OLD_DIR NEW_DIR OUT_DIR BUILD_DIR...
#
# A version pair is a file of OLD_DIR and the file at the same relative path
# in NEW_DIR; only ELF, PE and Mach-O files count, symbolic links do not.
# Pairs of different programs come from QND_SWEEP_CROSS, a file of lines
# "OLD NEW" (absolute, or relative to OLD_DIR and NEW_DIR). A pair fails when a
# build does not make or apply its patch, a sanitizer reports anything, the
# rebuilt file differs from the new one, or two builds make different
# patches. Environment:
#   QND_SWEEP_CROSS  the list of pairs of different programs (default: none)
#   QND_SWEEP_JOBS   pairs run at once (default 4)
#   QND_SWEEP_ALL    1: every regular file, not only executables
# Writes OUT_DIR/results.tsv and OUT_DIR/logs/, prints the failures, the
# counts and a size table per architecture; exits 1 when a pair failed.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"

# Architecture of an executable from its headers, or "other".
architecture() {
  local hex
  hex=$(od -An -tx1 -N64 -v "$1" 2> /dev/null | tr -d ' \n')
  case "$hex" in
    7f454c46*)
      case "${hex:36:4}" in
        0300) echo elf-i386 ;;
        2800) echo elf-armhf ;;
        3e00) echo elf-x86-64 ;;
        *) echo elf-other ;;
      esac ;;
    4d5a*)
      local offset magic
      offset=$((16#${hex:126:2}${hex:124:2}${hex:122:2}${hex:120:2}))
      magic=$(od -An -tx1 -N2 -j $((offset + 24)) "$1" 2> /dev/null | tr -d ' \n')
      case "$magic" in
        0b01) echo pe32 ;;
        0b02) echo pe32+ ;;
        *) echo pe-other ;;
      esac ;;
    cefaedfe*) echo macho-i386 ;;
    cffaedfe*) echo macho-x86-64 ;;
    *) echo other ;;
  esac
}

# One pair: KIND OLD NEW, with QND_SWEEP_OUT and QND_SWEEP_BUILDS (the
# builds, separated by colons); prints one result line.
one() {
  set +e
  local kind="$1" old="$2" new="$3" out="$QND_SWEEP_OUT" builds
  IFS=: read -r -a builds <<< "$QND_SWEEP_BUILDS"
  local id arch status="ok" why="" reference="" size="-" form="-" i=0
  id=$(printf '%s\n%s' "$old" "$new" | md5sum | cut -c1-12)
  if [ ! -f "$old" ] || [ ! -f "$new" ]; then
    printf 'fail\t%s\t-\t-\t-\t-\t-\t%s\t%s\tmissing\n' "$kind" "$old" "$new"
    return
  fi
  arch=$(architecture "$new")
  for build in "${builds[@]}"; do
    local qnd="$build/bench/qnd_patch" log="$out/logs/$id.$i" patch="$out/work/$id.$i.patch"
    local rebuilt="$out/work/$id.$i.rebuilt"
    local rc=0
    "$qnd" create "$old" "$new" "$patch" > "$log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
      status=fail why+="create-rc$rc@$i "
    else
      rc=0
      "$qnd" apply "$old" "$patch" "$rebuilt" >> "$log" 2>&1 || rc=$?
      if [ "$rc" -ne 0 ]; then
        status=fail why+="apply-rc$rc@$i "
      elif ! cmp -s "$rebuilt" "$new"; then
        status=fail why+="inexact@$i "
      fi
      if [ -z "$reference" ]; then
        reference="$patch"
        size=$(stat -c %s "$patch")
        form=$("$qnd" describe "$patch" 2> /dev/null | awk '{ print $2 == 0 ? "plain" : "elements" }' || true)
      elif ! cmp -s "$reference" "$patch"; then
        status=fail why+="differs@$i "
      fi
    fi
    if grep -qE 'Sanitizer|runtime error:' "$log"; then
      status=fail why+="sanitizer@$i "
    fi
    rm -f "$rebuilt"
    i=$((i + 1))
  done
  rm -f "$out/work/$id".*.patch
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$status" "$kind" "$arch" "$(stat -c %s "$old")" \
    "$(stat -c %s "$new")" "$size" "$form" "$old" "$new" "${why:-$id}"
}

# A strict memcmp check reads the whole of both ranges at every call, which
# makes the byte diff's match extension quadratic on large files; the
# compared bytes are still checked.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_memcmp=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

if [ "${1:-}" = --one ]; then
  shift
  one "$@"
  exit 0
fi
[ $# -ge 4 ] || { sed -n '2,22p' "$0" >&2; exit 2; }

old_dir="$(cd "$1" && pwd)"
new_dir="$(cd "$2" && pwd)"
mkdir -p "$3"
out="$(cd "$3" && pwd)"
shift 3
builds=()
for build in "$@"; do
  b="$(cd "$build" && pwd)"
  [ -x "$b/bench/qnd_patch" ] || { echo "no $b/bench/qnd_patch: build with -DQND_BUILD_BENCHMARKS=ON" >&2; exit 2; }
  builds+=("$b")
done
rm -rf "$out/logs" "$out/work"
mkdir -p "$out/logs" "$out/work"

jobs_file="$out/pairs.txt"
: > "$jobs_file"
while IFS= read -r -d '' path; do
  rel="${path#"$old_dir"/}"
  [ -f "$new_dir/$rel" ] && [ ! -L "$new_dir/$rel" ] || continue
  if [ "${QND_SWEEP_ALL:-0}" != 1 ] && [ "$(architecture "$path")" = other ]; then
    continue
  fi
  printf 'version\t%s\t%s\n' "$path" "$new_dir/$rel" >> "$jobs_file"
done < <(find "$old_dir" -type f -print0 | sort -z)
if [ -n "${QND_SWEEP_CROSS:-}" ]; then
  while read -r a b; do
    [ -n "$a" ] && [ "${a:0:1}" != "#" ] || continue
    [ "${a:0:1}" = / ] || a="$old_dir/$a"
    [ "${b:0:1}" = / ] || b="$new_dir/$b"
    printf 'cross\t%s\t%s\n' "$a" "$b" >> "$jobs_file"
  done < "$QND_SWEEP_CROSS"
fi
echo "$(wc -l < "$jobs_file") pairs, builds: ${builds[*]}" >&2

export QND_SWEEP_OUT="$out"
QND_SWEEP_BUILDS="$(IFS=:; echo "${builds[*]}")"
export QND_SWEEP_BUILDS
tr '\t\n' '\0\0' < "$jobs_file" | xargs -0 -n 3 -P "${QND_SWEEP_JOBS:-4}" bash "$here/sweep.sh" --one \
  > "$out/results.tsv"

# The report: failures, counts, then sizes per architecture and kind of pair.
awk -F '\t' '$1 != "ok" { print "FAILED " $2 " " $3 " " $8 " -> " $9 ": " $10 }' "$out/results.tsv"
awk -F '\t' '
  { n[$2]++; if ($1 == "ok") ok[$2]++; else bad[$2]++ }
  END { for (k in n) printf "%s pairs: %d, exact and clean: %d, failed: %d\n", k, n[k], ok[k], bad[k] }
' "$out/results.tsv" | sort
echo
printf '%-14s %-8s %6s %14s %12s %8s %8s %8s\n' architecture pairs count "new bytes" "patch bytes" ratio elements plain
sort -t "$(printf '\t')" -k3,3 -k2,2 "$out/results.tsv" | awk -F '\t' '
  $1 == "ok" {
    key = $3 " " $2; c[key]++; nb[key] += $5; pb[key] += $6
    if ($7 == "elements") e[key]++; else p[key]++
  }
  END {
    for (k in c) {
      split(k, part, " ")
      printf "%-14s %-8s %6d %14d %12d %8.4f %8d %8d\n", part[1], part[2], c[k], nb[k], pb[k], pb[k] / nb[k], e[k], p[k]
    }
  }
' | sort
! awk -F '\t' '$1 != "ok" { found = 1 } END { exit !found }' "$out/results.tsv"
