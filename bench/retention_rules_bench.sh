#!/usr/bin/env bash
# Times the retention pass under three configured rules with RE2 patterns against the same pass
# under one global rule, on one store of 1,000 repositories x 100 tags, in one run.
#   bench/retention_rules_bench.sh [BUILD_DIR] [RUNS]
# Both configurations delete the same half of the tags: a dry run of each, alternated, and a
# real run of each on fresh copies of the store. Prints the medians and three rules / one rule
# (target <= 1.3). QV_BENCH_TMP puts the store elsewhere than /tmp.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-5}
work=$(mktemp -d "${QV_BENCH_TMP:-/tmp}/qv-rulesbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$top/bench/timing.sh"

mkdir -p "$work/one" "$work/three"
echo '{"registry_access_log": 0, "registry_retention_policies": [{"repositories": "**", "keep_n": 50}]}' \
    >"$work/one/config.json"
cat >"$work/three/config.json" <<'JSON'
{"registry_access_log": 0, "registry_retention_policies": [
  {"repositories": ["repo1*", "repo2*"], "match_tags": "v\\d+", "keep_n": 50,
   "keep_tags": "v\\d+\\.\\d+\\.\\d+"},
  {"repositories": "repo3*", "keep_n": 50, "keep_tags": "release-.*", "keep_days": 0},
  {"repositories": "**", "match_tags": "v[0-9]+", "keep_n": 50, "keep_tags": "(main|pr)-[0-9a-f]+"}
]}
JSON
request() {  # request SITE ROOT QUERY
    (cd "$work/$1" && env -i REQUEST_METHOD=POST QUERY_STRING="$3" \
        REGISTRY_STORAGE_ROOT="$2" "$build/v2_retention")
}
store="$work/store"
"$build/qv_storegen" --root "$store" --repos 1000 --tags 100 --age-step 60 --quiet
for site in one three; do
    request $site "$store" dry_run=1 | grep -q '"tags_total":100000,"tags_deleted":50000,' || {
        echo "unexpected report under $site rule(s)" >&2
        exit 1
    }
done
: >"$work/a" && : >"$work/b"
for _ in $(seq "$runs"); do
    us_of request one "$store" dry_run=1 >>"$work/a"
    us_of request three "$store" dry_run=1 >>"$work/b"
done
a=$(median <"$work/a") b=$(median <"$work/b")
: >"$work/c" && : >"$work/d"
for _ in $(seq "$(((runs + 1) / 2))"); do
    fresh_copies "$store" "$work/run1" "$work/run3"
    us_of request one "$work/run1" "" >>"$work/c"
    us_of request three "$work/run3" "" >>"$work/d"
done
c=$(median <"$work/c") d=$(median <"$work/d")
printf 'store: 1000 repositories x 100 tags, %d runs; load %s\n' "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '  dry run: one rule %8s ms, three rules %8s ms, ratio %s (target <= 1.3)\n' \
    "$(ratio "$a" 1000)" "$(ratio "$b" 1000)" "$(ratio "$b" "$a")"
printf '  real run (deletes 50000): one rule %8s ms, three rules %8s ms, ratio %s (target <= 1.3)\n' \
    "$(ratio "$c" 1000)" "$(ratio "$d" 1000)" "$(ratio "$d" "$c")"
