#!/usr/bin/env bash
# Times garbage collection as a whole process against its floor on the same tree, in one run,
# at two sizes so that growth shows ("million": a store of 1,000,000 blobs instead).
#   bench/gc_bench.sh [BUILD_DIR] [RUNS] [million]
# Store: R repositories x 10 tags, each tag's manifest with a config and 4 layers of its own
# (5 blobs), plus as many blobs that nothing references: 10,000 blobs / 1,000 manifests, then
# 100,000 blobs / 10,000 manifests in 1,000 repositories (and 1,000,000 blobs, 900,000 more
# of them unreferenced).
# Floor (bench/gc/floor.c, a static C program): the bare system calls of the same work, namely
# every fan-out directory listed, each blob's date looked at once, every manifest body read
# (path list made beforehand); for the real run also each unreferenced blob renamed aside
# twice and removed, and each fan-out directory it removed from flushed, as the collector must.
# Prints the medians, the ratios (targets: dry <= 2, real <= 1.3) and the collector's peak
# memory (target < 32 MiB, growing linearly).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-5}
million=${3:-}
work=$(mktemp -d "${QV_BENCH_TMP:-/tmp}/qv-gcbench-XXXXXX")  # QV_BENCH_TMP: another file system
trap 'rm -rf "$work"' EXIT

. "$top/bench/timing.sh"
cc -O2 -static -o "$work/floor" "$top/bench/gc/floor.c"

floor_dry() { "$work/floor" "$1" "$work/bodies"; }
floor_real() { "$work/floor" "$1" "$work/bodies" "$work/unreferenced"; }

# The relative paths of every manifest body, and of every blob file no body references.
make_lists() {  # make_lists ROOT
    python3 - "$1" "$work/bodies" "$work/unreferenced" <<'EOF'
import json, os, re, sys
root, bodies_out, unref_out = sys.argv[1:4]
hex64 = re.compile(r'^[0-9a-f]{64}$')
bodies, referenced = [], set()
for d, _, files in os.walk(os.path.join(root, 'repositories')):
    if os.path.basename(d) != '_manifests':
        continue
    for f in files:
        if hex64.match(f):
            p = os.path.join(d, f)
            bodies.append(os.path.relpath(p, root))
            m = json.load(open(p))
            refs = [m.get('config', {})] + m.get('layers', []) + m.get('manifests', [])
            referenced.update(r.get('digest', '')[7:] for r in refs)
unref = []
for d, _, files in os.walk(os.path.join(root, 'blobs', 'sha256')):
    unref += [os.path.relpath(os.path.join(d, f), root) for f in files if f not in referenced]
open(bodies_out, 'w').write('\n'.join(bodies) + '\n')
open(unref_out, 'w').write('\n'.join(unref) + '\n')
EOF
}

# more_orphans ROOT N: N more unreferenced blob files, written directly (qv_storegen stores
# every blob through the library, durably: hours for a million), dated a day ago.
more_orphans() {
    python3 - "$1" "$2" <<'EOF'
import hashlib, os, sys, time
root, n = sys.argv[1], int(sys.argv[2])
old = time.time() - 86400
for i in range(n):
    data = b'orphan written directly %d' % i
    hexd = hashlib.sha256(data).hexdigest()
    d = os.path.join(root, 'blobs', 'sha256', hexd[:2])
    os.makedirs(d, exist_ok=True)
    p = os.path.join(d, hexd)
    with open(p, 'wb') as f:
        f.write(data)
    os.utime(p, (old, old))
EOF
}

measure() {  # measure REPOS ORPHANS [MORE_ORPHANS]
    local store="$work/store-$1"
    "$build/qv_storegen" --root "$store" --repos "$1" --tags 10 --layers 4 --distinct \
        --orphans "$2" --quiet
    [ -z "${3:-}" ] || more_orphans "$store" "$3"
    make_lists "$store"
    local blobs
    blobs=$(find "$store/blobs" -type f | wc -l)

    "$build/qv_gc" --root "$store" --dry-run >/dev/null
    floor_dry "$store"
    : >"$work/a" && : >"$work/b"
    for _ in $(seq "$runs"); do
        us_of "$build/qv_gc" --root "$store" --dry-run >>"$work/a"
        us_of floor_dry "$store" >>"$work/b"
    done
    local dry_a dry_b
    dry_a=$(median <"$work/a") dry_b=$(median <"$work/b")
    local dry_rss
    dry_rss=$(/usr/bin/time -f '%M' "$build/qv_gc" --root "$store" --dry-run 2>&1 >/dev/null | tail -n 1)

    # Real runs, each on its own hard-linked copy: the collector and the floor only rename
    # and remove directory entries, so the copies stay independent.
    : >"$work/c" && : >"$work/d"
    local real_rss=0 report=""
    for _ in $(seq "$runs"); do
        rm -rf "$work/run" "$work/ref"
        cp -al "$store" "$work/run"
        cp -al "$store" "$work/ref"
        sync
        us_of "$build/qv_gc" --root "$work/run" >>"$work/c"
        us_of floor_real "$work/ref" >>"$work/d"
    done
    rm -rf "$work/run"
    cp -al "$store" "$work/run"
    report=$( /usr/bin/time -f '%M' -o "$work/rss" "$build/qv_gc" --root "$work/run")
    real_rss=$(tail -n 1 "$work/rss")
    grep -q "\"blobs_deleted\":$(($2 + ${3:-0}))," <<<"$report" || {
        echo "unexpected report: $report" >&2
        exit 1
    }
    local real_a real_b
    real_a=$(median <"$work/c") real_b=$(median <"$work/d")
    printf '%7d blobs  dry: %8.1f ms vs floor %8.1f ms  ratio %s   real: %8.1f ms vs floor %8.1f ms  ratio %s   peak %5.1f MiB (dry) %5.1f MiB (real)\n' \
        "$blobs" "$(ratio "$dry_a" 1000)" "$(ratio "$dry_b" 1000)" "$(ratio "$dry_a" "$dry_b")" \
        "$(ratio "$real_a" 1000)" "$(ratio "$real_b" 1000)" "$(ratio "$real_a" "$real_b")" \
        "$(ratio "$dry_rss" 1024)" "$(ratio "$real_rss" 1024)"
    rm -rf "$store" "$work/run" "$work/ref"
}

echo "garbage collection against its floor (medians of $runs runs; load $(cut -d' ' -f1-3 /proc/loadavg))"
if [ "$million" != million ]; then
    measure 100 5000
    measure 1000 50000
fi
# 1,000,000 blobs: the 100,000 of 1,000 repositories (half of them unreferenced), and 900,000
# more that nothing references.
[ "$million" != million ] || measure 1000 50000 900000
