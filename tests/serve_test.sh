#!/usr/bin/env bash
# scripts/serve as an operator runs it: options per run, the storage root the endpoint picks,
# a taken port, two instances from one checkout, and HTTPS on a chosen address.
# Usage: serve_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qv-serve-XXXXXX)
unset REGISTRY_STORAGE_ROOT PORT
servers=() sites=()
stop_all() {
    for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${servers[@]}"; do wait "$pid" 2>/dev/null || true; done
    servers=()
}
cleanup() {
    stop_all
    for s in "${sites[@]}"; do rm -rf "$s"; done
    rm -rf "$work"
}
trap cleanup EXIT

fails=0 passes=0
check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passes=$((passes + 1)); else echo "FAIL: $name"; fails=$((fails + 1)); fi
}
contains() { grep -qF -- "$2" <<<"$1"; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Below the kernel's ephemeral range: a port there can be held by another test's client
# connection (or its TIME_WAIT), which refuses a bind yet answers no connect.
free_port() {
    local p low
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range
    while :; do
        p=$((10000 + RANDOM % (low - 10000)))
        listening "$p" || { echo "$p"; return; }
    done
}

# serve LOG ARGS...: starts scripts/serve in the background; true once it prints its banner.
serve() {
    local log=$1; shift
    bash "$top/scripts/serve" --program "$build/v2_retention" "$@" >"$log.out" 2>"$log.err" &
    local pid=$!
    for _ in $(seq 1 100); do
        if grep -q '^Serving' "$log.out"; then servers+=("$pid"); return 0; fi
        kill -0 "$pid" 2>/dev/null || { wait "$pid" || true; return 1; }
        sleep 0.1
    done
    kill "$pid"
    return 1
}
post() { curl -s -X POST --data '' "http://127.0.0.1:$1/v2/_retention?dry_run=1"; }

pa=$(free_port) pb=$(free_port)
site_a="$top/.run/site-$pa" site_b="$top/.run/site-$pb"
sites+=("$site_a" "$site_b")
echo '{"registry_retention_keep_n": 1}' >"$work/keep1.json"

# --config applies; with no --root the endpoint's default root is in its working directory.
check "A starts" serve "$work/a" --port "$pa" --config "$work/keep1.json"
check "A uses its config" contains "$(post "$pa")" '"dry_run":true,"keep_n":1,'
check "A's root is the default" test -f "$site_a/registry_storage/config.json"

# A taken port is reported before any curl line, with a non-zero exit.
if serve "$work/taken" --port "$pa"; then check "taken port refused" false; fi
check "taken port said" grep -q "port $pa on 127.0.0.1 is taken" "$work/taken.err"
check "no curl lines for a taken port" test ! -s "$work/taken.out"

# A second instance from the same checkout has a site of its own.
check "B starts" serve "$work/b" --port "$pb"
check "B has no config" contains "$(post "$pb")" '"dry_run":true,"keep_n":0,'
check "A keeps its site" test -f "$site_a/config.json"
check "B's root is its own" test -f "$site_b/registry_storage/config.json"
stop_all

# A later run without --config does not inherit the earlier one.
check "A restarts" serve "$work/a2" --port "$pa"
check "no config carried over" contains "$(post "$pa")" '"dry_run":true,"keep_n":0,'
stop_all

# Where the root comes from: --root, else the variable, else storage_root in config.json.
printf '{"storage_root": "%s"}\n' "$work/from-config" >"$work/root.json"
check "--root starts" serve "$work/r1" --port "$pa" --root "$work/from-flag" \
    --config "$work/root.json"
post "$pa" >/dev/null
check "--root wins" test -f "$work/from-flag/config.json"
stop_all
REGISTRY_STORAGE_ROOT="$work/from-env" serve "$work/r2" --port "$pa" --config "$work/root.json" ||
    check "variable starts" false
post "$pa" >/dev/null
check "the variable comes next" test -f "$work/from-env/config.json"
stop_all
check "config root starts" serve "$work/r3" --port "$pa" --config "$work/root.json"
post "$pa" >/dev/null
check "then config.json" test -f "$work/from-config/config.json"
stop_all

# HTTPS on the address asked for, with a certificate of serve's own that names it: a client
# trusting the site's authority is answered there, and the lines to try say how to trust it.
check "TLS starts" serve "$work/t" --port "$pa" --listen 127.0.0.2 --tls-self-signed registry.test
check "TLS answers on 127.0.0.2" test \
    "$(curl -s --cacert "$site_a/tls/trust/ca.crt" "https://127.0.0.2:$pa/v2/")" = '{}'
check "nothing on 127.0.0.1" eval '! listening "$pa"'
check "lines trust the site" grep -qF -- "--dest-cert-dir $site_a/tls/trust oci:" "$work/t.out"
stop_all

echo "serve: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
