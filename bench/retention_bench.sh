#!/usr/bin/env bash
# Times the retention endpoint against the file-system floor on the same tree, in one run.
#   bench/retention_bench.sh [BUILD_DIR] [RUNS]
# (a) a dry-run retention request as a whole CGI process, on 1024 repositories x 4 tags
#     (team0..team3/app<i>: no directory holds more than the 512 entries a listing keeps);
# (b) find over the same repositories, printing every link's time: the least any pass that
#     looks at every tag's time must do. Prints both medians and (a)/(b) (target <= 1.5),
# the request's peak memory (target < 8 MiB), and the same ratio for a real run that deletes
# half the tags (each run on a fresh copy of the store, flushed before it), and against the floor
# followed by `sync -f` (floor+sync; the floor writes nothing, so that adds only the flush).
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
floor() { find "$1/repositories" -name link -printf '%T@ %p\n'; }

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

# Real runs: each on a fresh copy, timed against the floor on an identical copy.
: >"$work/c" && : >"$work/d" && : >"$work/e"
real_runs=$(((runs + 1) / 2))
for _ in $(seq "$real_runs"); do
    rm -rf "$work/run" "$work/ref" "$work/ref2"
    cp -a "$work/store" "$work/run"
    cp -a "$work/store" "$work/ref"
    cp -a "$work/store" "$work/ref2"
    floor "$work/run" >/dev/null
    sync
    us_of request "$work/run" "keep_n=2" >>"$work/c"
    us_of floor "$work/ref" >>"$work/d"
    sync  # what the request left unflushed is not this floor's to flush
    us_of synced "$work" floor "$work/ref2" >>"$work/e"
done
c=$(median <"$work/c") d=$(median <"$work/d") e=$(median <"$work/e")
left=$(find "$work/run/repositories" -name link -path '*tags*' | wc -l)

div() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", x / y }'; }
printf 'store: 1024 repositories x 4 tags (4096 tags), %d runs\n' "$runs"
printf 'dry-run request  median %8s ms\n' "$(div $a 1000)"
printf 'find floor       median %8s ms\n' "$(div $b 1000)"
printf 'ratio dry-run / floor   %8s   (target <= 1.5)\n' "$(div $a $b)"
printf 'peak memory of request  %8s MiB (target < 8)\n' "$(div $rss 1024)"
printf 'real run (deletes 2048) median %8s ms, floor %8s ms, ratio %6s, floor+sync %8s ms, ratio %6s; %d tags left\n' \
    "$(div $c 1000)" "$(div $d 1000)" "$(div $c $d)" "$(div $e 1000)" "$(div $c $e)" "$left"
