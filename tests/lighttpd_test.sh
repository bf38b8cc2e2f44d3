#!/usr/bin/env bash
# The retention endpoint as a real CGI program under lighttpd on loopback, driven with curl.
# Usage: lighttpd_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qv-lighttpd-XXXXXX)
site="$work/site" root="$work/storage"
pidfile="$site/lighttpd.pid"

stop() {
    if [ -f "$pidfile" ]; then kill "$(cat "$pidfile")" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap stop EXIT

fails=0 passes=0
check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passes=$((passes + 1)); else echo "FAIL: $name"; fails=$((fails + 1)); fi
}
contains() { grep -qF -- "$2" <<<"$1"; }

check "storegen --help" eval '"$build/qv_storegen" --help | grep -q -- "--age-step S "'
now=$(date +%s)
"$build/qv_storegen" --root "$root" --repos 3 --tags 4 --age-step 86400 --now "$now" --quiet

# A free loopback port: try a few until the server binds.
port=""
for _ in $(seq 1 20); do
    p=$((20000 + RANDOM % 20000))
    conf=$(bash "$top/scripts/lighttpd-render" "$site" "$p" "$root" "$build/v2_retention")
    if lighttpd -f "$conf" 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "FAIL: lighttpd did not start"; exit 1; }
url="http://127.0.0.1:$port/v2/_retention"
for _ in $(seq 1 50); do curl -s -o /dev/null "$url" && break; sleep 0.1; done
: >"$root/registry_access.log"

# Dry run: the report, the registry header, nothing deleted.
resp=$(curl -s -i -X POST --data '' "$url?dry_run=1&keep_n=2")
check "dry run status" contains "$resp" "HTTP/1.1 200"
check "registry header" contains "$resp" "Docker-Distribution-API-Version: registry/2.0"
check "json type" contains "$resp" "Content-Type: application/json; charset=utf-8"
check "dry run head" contains "$resp" '{"dry_run":true,"keep_n":2,"days":0,"include_latest":false,"repos_scanned":3,"tags_total":12,"tags_deleted":6,"tags_kept":6,"latest_protected":0,"deleted":[{"repository":"repo0","tag":"v2","digest":"sha256:'
check "dry run kept files" test -f "$root/repositories/repo0/_manifests/tags/v3/current/link"

# Any other method: the 405 envelope.
resp=$(curl -s -i "$url")
check "GET status" contains "$resp" "HTTP/1.1 405"
check "GET body" contains "$resp" '{"errors":[{"code":"UNSUPPORTED","message":"Method not allowed for retention endpoint"}]}'

# A real pass deletes what the policy selects and keeps the rest.
resp=$(curl -s -i -X POST --data '' "$url?keep_n=2")
check "real run status" contains "$resp" "HTTP/1.1 200"
check "real run counts" contains "$resp" '"dry_run":false,"keep_n":2,"days":0,"include_latest":false,"repos_scanned":3,"tags_total":12,"tags_deleted":6,"tags_kept":6'
for r in repo0 repo1 repo2; do
    check "$r newest kept" test -f "$root/repositories/$r/_manifests/tags/v0/current/link"
    check "$r second kept" test -f "$root/repositories/$r/_manifests/tags/v1/current/link"
    check "$r v2 deleted" test ! -e "$root/repositories/$r/_manifests/tags/v2/current/link"
    check "$r v3 deleted" test ! -e "$root/repositories/$r/_manifests/tags/v3/current/link"
done

# One access-log line per request, with method, path, size and status.
log=$(cat "$root/registry_access.log")
check "three log lines" test "$(wc -l <<<"$log")" -eq 3
check "GET logged" grep -qE '^GET /v2/_retention 90 405 anonymous [0-9T:-]+Z \{"ts":' <<<"$log"
check "POST logged" grep -qE '^POST /v2/_retention [0-9]+ 200 anonymous ' <<<"$log"

echo "lighttpd: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
