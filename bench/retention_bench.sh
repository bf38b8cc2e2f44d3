#!/usr/bin/env bash
# Times the retention endpoint against its floor on the same trees, in one run.
#   bench/retention_bench.sh [BUILD_DIR] [RUNS]
# Two stores: 1,000 repositories x 100 tags, and one repository of 50,000 tags (each tag
# its own manifest). On each:
# (a) a dry-run retention request as a whole CGI process, and the report's check that it saw
#     every repository and every tag;
# (b) its floor (bench/retention/floor.c, a static C program): every directory below
#     repositories listed and every link's date looked at once, the least any pass that looks
#     at every tag's time must do. Prints both medians and (a)/(b) (target <= 1.5) and the
#     request's peak memory (target < 32 MiB);
# (c) a real run that deletes half the tags (each run on a fresh copy of the store) against
#     the floor making the same deletions on another copy: each tag's link claimed by a
#     rename and removed with its directories, its manifest's revision link (and directory),
#     body and content type removed, and each directory changed flushed once (target <= 1.3).
# QV_BENCH_TMP puts the stores elsewhere than /tmp (/dev/shm: in memory, no disk flushes).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-5}
work=$(mktemp -d "${QV_BENCH_TMP:-/tmp}/qv-retbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/site"
echo '{"registry_access_log": 0}' >"$work/site/config.json"

. "$top/bench/timing.sh"

request() {  # request ROOT QUERY
    (cd "$work/site" && env -i REQUEST_METHOD=POST QUERY_STRING="$2" \
        REGISTRY_STORAGE_ROOT="$1" "$build/v2_retention")
}
cc -O2 -static -o "$work/floor" "$top/bench/retention/floor.c"
floor() { "$work/floor" "$1/repositories" ${2:+"$2"}; }
div() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", x / y }'; }

measure() {  # measure REPOS TAGS
    local repos=$1 tags=$2 keep=$(($2 / 2)) store="$work/store"
    rm -rf "$store"
    "$build/qv_storegen" --root "$store" --repos "$repos" --tags "$tags" --age-step 60 --quiet
    local query="dry_run=1&keep_n=$keep"
    # Warm the cache once, then alternate the two so both see the same machine state.
    request "$store" "$query" >/dev/null
    floor "$store" >/dev/null
    : >"$work/a" && : >"$work/b"
    for _ in $(seq "$runs"); do
        us_of request "$store" "$query" >>"$work/a"
        us_of floor "$store" >>"$work/b"
    done
    local a b c d rss body left floor_left
    a=$(median <"$work/a") b=$(median <"$work/b")
    body=$(request "$store" "$query" | tr -d '\r' | sed '1,/^$/d')
    grep -q "\"repos_scanned\":$repos,\"tags_total\":$((repos * tags)),\"tags_deleted\":$((repos * (tags - keep)))," <<<"$body" || {
        echo "unexpected report: ${body:0:300}" >&2
        exit 1
    }
    rss=$( (cd "$work/site" && env -i REQUEST_METHOD=POST QUERY_STRING="$query" \
        REGISTRY_STORAGE_ROOT="$store" /usr/bin/time -f '%M' "$build/v2_retention" \
        2>&1 >/dev/null) | tail -n 1)

    # The deletions a real pass makes (the report lists only its first 500): in each
    # repository every tag but the newest keep, with the manifest it names.
    python3 - "$store/repositories" "$keep" <<'EOF' | sort -s -k1,1 >"$work/deletions"
import os, sys
top, keep = sys.argv[1], int(sys.argv[2])
for d, dirs, _ in os.walk(top):
    if os.path.basename(d) != '_manifests':
        continue
    dirs[:] = []
    tags = []
    for t in os.listdir(os.path.join(d, 'tags')):
        link = os.path.join(d, 'tags', t, 'current', 'link')
        if os.path.isfile(link):
            tags.append((os.stat(link).st_mtime, t, open(link).read().strip()[7:]))
    for _, t, hex_ in sorted(tags, reverse=True)[keep:]:
        print(os.path.relpath(os.path.dirname(d), top), t, hex_)
EOF
    [ "$(wc -l <"$work/deletions")" = $((repos * (tags - keep))) ] || {
        echo "unexpected deletions list" >&2
        exit 1
    }

    # Real runs: each on a fresh copy (hard links: the pass and the floor only rename and
    # remove entries), timed against the floor on another.
    : >"$work/c" && : >"$work/d"
    for _ in $(seq "$(((runs + 1) / 2))"); do
        fresh_copies "$store" "$work/run" "$work/ref"
        us_of request "$work/run" "keep_n=$keep" >>"$work/c"
        us_of floor "$work/ref" "$work/deletions" >>"$work/d"
    done
    c=$(median <"$work/c") d=$(median <"$work/d")
    left=$(find "$work/run/repositories" -name link -path '*tags*' | wc -l)
    floor_left=$(find "$work/ref/repositories" -name link -path '*tags*' | wc -l)
    [ "$left" = "$floor_left" ] || echo "the floor left $floor_left tags, the pass $left" >&2
    rm -rf "$work/run" "$work/ref"

    printf 'store: %d repositories x %d tags (%d tags), %d runs; load %s\n' "$repos" "$tags" \
        $((repos * tags)) "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
    printf '  dry-run request  median %8s ms, floor %8s ms, ratio %6s (target <= 1.5)\n' \
        "$(div "$a" 1000)" "$(div "$b" 1000)" "$(div "$a" "$b")"
    printf '  peak memory of request  %8s MiB (target < 32)\n' "$(div "$rss" 1024)"
    printf '  real run (deletes %d) median %8s ms, floor %8s ms, ratio %6s (target <= 1.3); %d tags left\n' \
        $((repos * (tags - keep))) "$(div "$c" 1000)" "$(div "$d" 1000)" "$(div "$c" "$d")" "$left"
}

measure 1000 100
measure 1 50000
