#!/usr/bin/env bash
# Times a manifest GET as a whole CGI process with a user of a users file (bcrypt) against the
# same request with no sign-in configured, in one run; and a user's first request (no proof
# of an earlier sign-in yet) against a request with a wrong password, which always verifies.
#   bench/auth_bench.sh [BUILD_DIR] [RUNS]
# Prints the medians, unauthenticated / authenticated (target >= 0.8), the first request
# against one verification (target: about one), and an unknown user's refusal against a wrong
# password's (about one: the time of an answer does not tell which names exist).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-200}
work=$(mktemp -d "${QV_BENCH_TMP:-/tmp}/qv-authbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$top/bench/timing.sh"

store="$work/store"
"$build/qv_storegen" --root "$store" --repos 1 --tags 1 --quiet
mkdir -p "$work/open" "$work/users"
echo '{"registry_access_log": 0}' >"$work/open/config.json"
printf 'pw\n' | "$build/qv_passwd" --users "$work/users/users" alice >/dev/null
echo '{"registry_access_log": 0, "registry_users_file": "users"}' >"$work/users/config.json"
auth=$(printf 'alice:pw' | base64)
wrong=$(printf 'alice:px' | base64)
request() {  # request SITE [AUTHORIZATION]
    (cd "$work/$1" && env -i REQUEST_METHOD=GET SCRIPT_NAME=/v2 PATH_INFO=/repo0/manifests/v0 \
        REGISTRY_STORAGE_ROOT="$store" ${2:+HTTP_AUTHORIZATION="Basic $2"} "$build/v2_registry")
}
request open | grep -q '^Status: 200' || { echo "unexpected answer without sign-in" >&2; exit 1; }
request users "$auth" | grep -q '^Status: 200' || { echo "unexpected answer signed in" >&2; exit 1; }
request users "$wrong" | grep -q '^Status: 401' || { echo "a wrong password passed" >&2; exit 1; }

: >"$work/a" && : >"$work/b"
for _ in $(seq "$runs"); do
    us_of request open >>"$work/a"
    us_of request users "$auth" >>"$work/b"
done
a=$(median <"$work/a") b=$(median <"$work/b")
: >"$work/c" && : >"$work/d"
for _ in $(seq 15); do
    rm -rf "$store/auth/proofs"
    us_of request users "$auth" >>"$work/c"
    us_of request users "$wrong" >>"$work/d"
done
c=$(median <"$work/c") d=$(median <"$work/d")
unknown=$(printf 'nobody:px' | base64)
: >"$work/e"
for _ in $(seq 15); do us_of request users "$unknown" >>"$work/e"; done
e=$(median <"$work/e")
printf 'manifest GET, %d runs; load %s\n' "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '  without sign-in %7s ms, signed in (proof kept) %7s ms: %s of the speed (target >= 0.8)\n' \
    "$(ratio "$a" 1000)" "$(ratio "$b" 1000)" "$(ratio "$a" "$b")"
printf '  a first request %7s ms, a wrong password (one verification) %7s ms: %s verifications\n' \
    "$(ratio "$c" 1000)" "$(ratio "$d" 1000)" "$(ratio "$((c - b))" "$((d - b))")"
printf '  an unknown user %7s ms: %s of a wrong password'"'"'s time (about 1: no name is told apart)\n' \
    "$(ratio "$e" 1000)" "$(ratio "$e" "$d")"
