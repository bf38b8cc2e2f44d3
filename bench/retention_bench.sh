#!/usr/bin/env bash
# Times the retention endpoint against its floor on the same tree, in one run.
#   bench/retention_bench.sh [BUILD_DIR] [RUNS]
# (a) a dry-run retention request as a whole CGI process, on 1024 repositories x 4 tags
#     (team0..team3/app<i>: no directory holds more than the 512 entries a listing keeps);
# (b) its floor (bench/retention/floor.c, a static C program): every directory below
#     repositories listed and every link's date looked at once, the least any pass that looks
#     at every tag's time must do. Prints both medians and (a)/(b) (target <= 1.5) and the
#     request's peak memory (target < 8 MiB);
# (c) a real run that deletes half the tags (each run on a fresh copy of the store) against
#     the floor making the same deletions on another copy: each tag's link claimed by a
#     rename and removed, its manifest's revision link, body and content type removed, and
#     each directory changed flushed (target <= 1.3).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-21}
work=$(mktemp -d /tmp/qv-retbench-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$build/qv_storegen" --root "$work/store" --repos 1024 --tags 4 --nested 4 --age-step 86400 --quiet
mkdir -p "$work/site"
echo '{"registry_access_log": 0}' >"$work/site/config.json"

. "$top/bench/timing.sh"

request() {  # request ROOT QUERY
    (cd "$work/site" && env -i REQUEST_METHOD=POST QUERY_STRING="$2" \
        REGISTRY_STORAGE_ROOT="$1" "$build/v2_retention")
}
cc -O2 -static -o "$work/floor" "$top/bench/retention/floor.c"
floor() { "$work/floor" "$1/repositories" ${2:+"$2"}; }

# Warm the cache once, then alternate the two so both see the same machine state.
request "$work/store" "dry_run=1&keep_n=2" >/dev/null
floor "$work/store" >/dev/null
: >"$work/a" && : >"$work/b"
for _ in $(seq "$runs"); do
    us_of request "$work/store" "dry_run=1&keep_n=2" >>"$work/a"
    us_of floor "$work/store" >>"$work/b"
done
a=$(median <"$work/a") b=$(median <"$work/b")

body=$(request "$work/store" "dry_run=1&keep_n=2" | tr -d '\r' | sed '1,/^$/d')
grep -q '"tags_total":4096,"tags_deleted":2048' <<<"$body" || {
    echo "unexpected report: ${body:0:300}" >&2
    exit 1
}
rss=$( (cd "$work/site" && env -i REQUEST_METHOD=POST QUERY_STRING="dry_run=1&keep_n=2" \
    REGISTRY_STORAGE_ROOT="$work/store" /usr/bin/time -f '%M' "$build/v2_retention" \
    2>&1 >/dev/null) | tail -n 1)

# The deletions a real pass with keep_n=2 makes (the report lists only its first 500): in
# each repository every tag but the two newest, with the manifest it names.
python3 - "$work/store/repositories" <<'EOF' | sort -s -k1,1 >"$work/deletions"
import os, sys
top = sys.argv[1]
for d, dirs, _ in os.walk(top):
    if os.path.basename(d) != '_manifests':
        continue
    dirs[:] = []
    tags = []
    for t in os.listdir(os.path.join(d, 'tags')):
        link = os.path.join(d, 'tags', t, 'current', 'link')
        if os.path.isfile(link):
            tags.append((os.stat(link).st_mtime, t, open(link).read().strip()[7:]))
    for _, t, hex_ in sorted(tags, reverse=True)[2:]:
        print(os.path.relpath(os.path.dirname(d), top), t, hex_)
EOF
[ "$(wc -l <"$work/deletions")" = 2048 ] || { echo "unexpected deletions list" >&2; exit 1; }

# Real runs: each on a fresh copy (hard links: the pass and the floor only rename and remove
# entries), timed against the floor on another.
: >"$work/c" && : >"$work/d"
real_runs=$(((runs + 1) / 2))
for _ in $(seq "$real_runs"); do
    rm -rf "$work/run" "$work/ref"
    cp -al "$work/store" "$work/run"
    cp -al "$work/store" "$work/ref"
    sync
    us_of request "$work/run" "keep_n=2" >>"$work/c"
    us_of floor "$work/ref" "$work/deletions" >>"$work/d"
done
c=$(median <"$work/c") d=$(median <"$work/d")
left=$(find "$work/run/repositories" -name link -path '*tags*' | wc -l)
floor_left=$(find "$work/ref/repositories" -name link -path '*tags*' | wc -l)
[ "$left" = "$floor_left" ] || echo "the floor left $floor_left tags, the pass $left" >&2

div() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", x / y }'; }
printf 'store: 1024 repositories x 4 tags (4096 tags), %d runs; load %s\n' "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'dry-run request  median %8s ms\n' "$(div $a 1000)"
printf 'floor            median %8s ms\n' "$(div $b 1000)"
printf 'ratio dry-run / floor   %8s   (target <= 1.5)\n' "$(div $a $b)"
printf 'peak memory of request  %8s MiB (target < 8)\n' "$(div $rss 1024)"
printf 'real run (deletes 2048) median %8s ms, floor %8s ms, ratio %6s (target <= 1.3); %d tags left\n' \
    "$(div $c 1000)" "$(div $d 1000)" "$(div $c $d)" "$left"
