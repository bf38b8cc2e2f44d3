#!/usr/bin/env bash
# Times the store check (qv_fsck, no repair) against sha256sum over the same blob files, in one
# run, from a warm page cache so that both sides hash at the speed they can, not the disk's.
#   bench/fsck_bench.sh [BUILD_DIR] [RUNS]
# 1. Throughput: 64 blobs of 16 MiB of random bytes (1 GiB). Target: at least 0.9 of
#    sha256sum's throughput.
# 2. A store of about 100,000 blobs (1,000 repositories x 10 tags, 5 blobs each, and 50,000
#    unreferenced): the check's whole time, against sha256sum over every blob file.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-3}
work=$(mktemp -d /tmp/qv-fsckbench-XXXXXX)
trap 'rm -rf "$work"' EXIT

. "$top/bench/timing.sh"

floor() {  # floor ROOT: sha256sum over every blob file
    find "$1/blobs" -type f -print0 | xargs -0 sha256sum >/dev/null
}

compare() {  # compare ROOT LABEL
    local bytes
    bytes=$(find "$1/blobs" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
    "$build/qv_fsck" --root "$1" >"$work/report"  # warms the cache, and must find nothing
    floor "$1"
    : >"$work/a" && : >"$work/b"
    for _ in $(seq "$runs"); do
        us_of "$build/qv_fsck" --root "$1" >>"$work/a"
        us_of floor "$1" >>"$work/b"
    done
    local a b
    a=$(median <"$work/a") b=$(median <"$work/b")
    printf '%-34s qv_fsck %9.1f ms (%7.1f MiB/s)   sha256sum %9.1f ms (%7.1f MiB/s)   throughput ratio %s\n' \
        "$2" "$(ratio "$a" 1000)" "$(ratio "$bytes" "$((a * 1048576 / 1000000))")" \
        "$(ratio "$b" 1000)" "$(ratio "$bytes" "$((b * 1048576 / 1000000))")" "$(ratio "$b" "$a")"
    grep -q '"damage_remaining":0,' "$work/report" || { echo "damage found: $(cat "$work/report")" >&2; exit 1; }
}

# Large blobs, named by their own hashes.
big="$work/big"
mkdir -p "$big/blobs/sha256" "$big/repositories"
for i in $(seq 64); do
    head -c $((16 * 1048576)) /dev/urandom >"$work/blob"
    hex=$(sha256sum "$work/blob" | cut -c1-64)
    mkdir -p "$big/blobs/sha256/${hex:0:2}"
    mv "$work/blob" "$big/blobs/sha256/${hex:0:2}/$hex"
done
echo "store check against sha256sum over the same blob files (medians of $runs runs, warm cache)"
compare "$big" "64 blobs x 16 MiB"
rm -rf "$big"

many="$work/many"
"$build/qv_storegen" --root "$many" --repos 1000 --tags 10 --layers 4 --distinct --orphans 50000 \
    --quiet
compare "$many" "$(find "$many/blobs" -type f | wc -l) blobs, $(find "$many/repositories" -type f -regextype egrep -regex '.*/_manifests/[0-9a-f]{64}' | wc -l) manifests"
