#!/usr/bin/env bash
# Publishes three client versions made of real Debian 12 packages and reports
# what that costs the publisher and what a client at version 1 downloads to
# reach version 3, next to zstd's own per-file patches. A report, not a test:
# the figures go to docs/benchmarks.md.
#
#   scripts/bench_real_tree.sh QND_PUBLISH UPDATE KEY PUBLIC WORK [LABEL]
#
# QND_PUBLISH is the publisher to measure, UPDATE the built updater program
# that every client tree carries, KEY/PUBLIC the signing pair, WORK a scratch
# folder (the packages and trees are made there once and reused; each LABEL
# publishes into WORK/out-LABEL, removed first). Needs apt-get (with its lists
# updated), dpkg-deb, python3, zstd (scripts/install-deps.sh installs them) and
# GNU time (Debian's "time" package; install it by hand: no test needs it).
#
# The versions: bookworm, bookworm-updates and bookworm-security hold two
# versions of most of these packages and three of libssl3/openssl. Version 1
# takes the oldest of each; version 2 the next of openssl, git and curl only;
# version 3 the newest of every package. So each step changes a subset, and a
# client at version 1 reaching version 3 meets every package changed. The
# versions are pinned: when the archive drops one, pick its successor here.
set -euo pipefail

if [ $# -lt 5 ]; then
  sed -n '2,14p' "$0"
  exit 2
fi
publisher=$(realpath "$1")
updater=$(realpath "$2")
key=$(realpath "$3")
public=$(realpath "$4")
work=$5
label=${6:-run}
mkdir -p "$work"
work=$(realpath "$work")

v1=(libssl3=3.0.17-1~deb12u2 openssl=3.0.17-1~deb12u2 libcurl4=7.88.1-10+deb12u5 curl=7.88.1-10+deb12u5
  git=1:2.39.5-0+deb12u2 libxml2=2.9.14+dfsg-1.3~deb12u4 liblzma5=5.4.1-1+deb12u1 xz-utils=5.4.1-1+deb12u1
  libzstd1=1.5.4+dfsg2-5)
v2=(libssl3=3.0.20-1~deb12u2 openssl=3.0.20-1~deb12u2 libcurl4=7.88.1-10+deb12u15 curl=7.88.1-10+deb12u15
  git=1:2.39.5-0+deb12u3 libxml2=2.9.14+dfsg-1.3~deb12u4 liblzma5=5.4.1-1+deb12u1 xz-utils=5.4.1-1+deb12u1
  libzstd1=1.5.4+dfsg2-5)
v3=(libssl3=3.0.22-1~deb12u2 openssl=3.0.22-1~deb12u2 libcurl4=7.88.1-10+deb12u15 curl=7.88.1-10+deb12u15
  git=1:2.39.5-0+deb12u3 libxml2=2.9.14+dfsg-1.3~deb12u6 liblzma5=5.4.1-1+deb12u2 xz-utils=5.4.1-1+deb12u2
  libzstd1=1.5.4+dfsg2-5+deb12u1)

# One tree per version: the packages unpacked, the updater at the top, and
# whatever the publisher refuses by design taken out the way a packager would:
# links that leave the tree or name a folder are dropped, absolute links into
# the tree made relative, empty folders removed.
make_tree() {
  local n=$1
  shift
  local tree=$work/trees/v$n
  rm -rf "$tree" "$work/debs/v$n"
  mkdir -p "$work/debs/v$n" "$tree"
  (cd "$work/debs/v$n" && apt-get download -q "$@" >/dev/null)
  for deb in "$work/debs/v$n"/*.deb; do
    dpkg-deb -x "$deb" "$tree"
  done
  python3 - "$tree" <<'EOF'
import os, sys
root = os.path.realpath(sys.argv[1])
for d, dirs, files in os.walk(root):
    for name in dirs + files:
        p = os.path.join(d, name)
        if not os.path.islink(p):
            continue
        t = os.readlink(p)
        target = os.path.normpath(root + t if t.startswith('/') else os.path.join(d, t))
        real = os.path.realpath(target)
        inside = real.startswith(root + '/') and os.path.isfile(real)
        os.remove(p)
        if inside:
            os.symlink(os.path.relpath(target, d), p)
EOF
  find "$tree" -depth -type d -empty -delete
  install -m 0755 "$updater" "$tree/update"
  touch "$work/trees/.v$n-done"
}
for n in 1 2 3; do
  if [ ! -f "$work/trees/.v$n-done" ]; then
    case $n in 1) make_tree 1 "${v1[@]}" ;; 2) make_tree 2 "${v2[@]}" ;; 3) make_tree 3 "${v3[@]}" ;; esac
  fi
done

out=$work/out-$label
rm -rf "$out" "$work/.out-$label.qnd_publish-"*
mkdir -p "$work/logs"
echo "tree: $(find "$work/trees/v1" -type f | wc -l) files, $(find "$work/trees/v1" -type l | wc -l) links," \
  "$(du -sb --apparent-size "$work/trees/v1" | cut -f1) bytes (version 1, links not followed)"
publish() {
  local n=$1
  shift
  local log=$work/logs/$label-v$n
  /usr/bin/time -v -o "$log.time" "$publisher" --new "$work/trees/v$n" --out "$out" --version "$n" \
    --key "$key" --public-key "$public" "$@" >"$log.out" 2>"$log.err"
  local wall peak
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$log.time")
  peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$log.time")
  echo "version $n: publish $wall, peak $((peak / 1024)) MB, served $(du -sb "$out/$n" | cut -f1) bytes" \
    "($(find "$out/$n" -type f | wc -l) served names)"
}
publish 1
publish 2 --old "$work/trees/v1"
publish 3 --old "$work/trees/v1" --old "$work/trees/v2"

# A client at version 1 reaching version 3: each distinct (digest, size) the
# ini asks it for, counted once; zstd patches each changed content from its
# version 1 file (or packs a new one), each (old, new) pair once.
python3 - "$out/3/qnd_client_linux_amd64.ini" "$work/trees/v1" "$work/trees/v3" "$work/zstd-cache" <<'EOF'
import hashlib, os, subprocess, sys
from concurrent.futures import ThreadPoolExecutor
ini, old, new, cache = sys.argv[1:5]
os.makedirs(cache, exist_ok=True)

def digest(path):
    h = hashlib.sha512()
    with open(path, 'rb') as f:
        for block in iter(lambda: f.read(1 << 20), b''):
            h.update(block)
    return h.hexdigest()

group, whole, patches = None, {}, {}
for raw in open(ini, encoding='utf-8'):
    line = raw.rstrip('\n')
    if line.startswith('['):
        group = line[1:-1]
        continue
    if group != 'client' or '=' not in line:
        continue
    k, v = line.split('=', 1)
    k = k.replace('\\', '/')
    parts = v.strip('"').split('::')
    if k.endswith('_patch_'):
        patches.setdefault(parts[4], []).append((parts[0].lower(), int(parts[1]), parts[2].lower()))
    elif len(parts) == 5:
        whole[parts[4]] = (parts[0].lower(), int(parts[1]), parts[2].lower())
    else:
        whole[k] = (parts[0].lower(), int(parts[1]), parts[0].lower())

downloads, pairs = set(), set()
for target, (served, size, content) in whole.items():
    o = os.path.join(old, target)
    base = digest(o) if os.path.isfile(o) else None
    if base == content:
        continue
    # zstd skips links given as input.
    pairs.add((base, content, os.path.realpath(o) if base else None, os.path.realpath(os.path.join(new, target))))
    choice = (served, size)
    for p in patches.get(target, []):
        if p[2] == base:
            choice = (p[0], p[1])
    downloads.add(choice)

def zstd_size(pair):
    base, content, o, n = pair
    memo = os.path.join(cache, '%s-%s' % ((base or 'none')[:32], content[:32]))
    if not os.path.exists(memo):
        args = ['zstd', '-19', '--long=30', '-q', '-c'] + (['--patch-from=' + o] if o else []) + [n]
        size = len(subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout)
        with open(memo, 'w') as f:
            f.write(str(size))
    return int(open(memo).read())

with ThreadPoolExecutor(3) as pool:
    zstd = sum(pool.map(zstd_size, sorted(pairs, key=lambda p: p[1])))
client = sum(s for _, s in downloads)
print('client 1 -> 3: %d bytes in %d downloads; zstd -19 --long=30 per changed file: %d bytes (%d contents); '
      'ratio %.2f' % (client, len(downloads), zstd, len(pairs), client / zstd))
EOF
