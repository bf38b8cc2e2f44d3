#!/usr/bin/env bash
# The registry as an operator deploys it: installed with cmake --install, a site laid out by the
# installed qv_site alone with HTTPS and a certificate authority of its own, served by lighttpd
# and driven by skopeo, which checks the certificate; then with a user set by the installed
# qv_passwd, and the maintenance unit's commands run as its timer would.
# Usage: deploy_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
for tool in skopeo openssl lighttpd curl; do
    command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done
[ -f /usr/lib/lighttpd/mod_openssl.so ] || { echo "SKIP: no lighttpd-mod-openssl"; exit 77; }
. "$top/tests/support/site.sh"
new_work deploy
site="$work/site" prefix="$work/prefix"

fails=0 passes=0
check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passes=$((passes + 1)); else echo "FAIL: $name"; fails=$((fails + 1)); fi
}
contains() { grep -qF -- "$2" <<<"$1"; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/qv_gc bin/qv_fsck bin/qv_passwd bin/qv_site share/qvreg/lighttpd.conf.in; do
    check "installed $f" test -f "$prefix/$f"
done
check "no test tool installed" test ! -e "$prefix/bin/qv_storegen"

# The installed qv_site, with nothing from the checkout: a free port below the ephemeral range.
port=""
for _ in $(seq 1 20); do
    p=$(low_port)
    "$prefix/bin/qv_site" --site "$site" --root "$work/store" --port "$p" \
        --tls-self-signed registry.test >"$work/site.out"
    if lighttpd -f "$site/lighttpd.conf" 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "FAIL: lighttpd did not start"; exit 1; }
host="127.0.0.1:$port" trust="$site/tls/trust"
for _ in $(seq 1 50); do curl -s -o /dev/null --cacert "$trust/ca.crt" "https://$host/v2/" && break; sleep 0.1; done

sk() { skopeo --insecure-policy "$@"; }
python3 "$top/tests/support/oci_image.py" "$work/a" x --layers 2 --seed 1 >/dev/null
# pulls_back REF CREDS...: REF pulled into a fresh layout holds the pushed image's blobs.
pulls_back() {
    local out="$work/pull-$RANDOM$RANDOM"
    sk copy -q --src-cert-dir "$trust" "${@:2}" "docker://$host/$1" "oci:$out:x" >/dev/null &&
        [ "$(blob_set "$out")" = "$(blob_set "$work/a")" ]
}

# ---- HTTPS, anonymous ---------------------------------------------------------------------
check "push over https" sk copy -q --dest-cert-dir "$trust" "oci:$work/a:x" "docker://$host/team/app:v1"
check "pull over https" pulls_back team/app:v1
check "certificate checked" eval '! sk inspect "docker://$host/team/app:v1" >/dev/null 2>&1'
check "no plain http" eval '! curl -s -o /dev/null "http://$host/v2/"'
check "the installed page at /" eval 'curl -s --cacert "$trust/ca.crt" "https://$host/" | grep -q "ui/app.js"'
check "trust printed" grep -qF -- "--cert-dir $trust" "$work/site.out"
if command -v systemd-analyze >/dev/null; then
    out=$(cd "$site" && timeout 60 systemd-analyze verify ./qvreg.service \
        ./qvreg-maintenance.service ./qvreg-maintenance.timer 2>&1 || echo failed)
    check "units verify" test -z "$out"
fi

# ---- a user, set with the installed qv_passwd ---------------------------------------------
# config.json is read on every request: no restart.
echo '{"registry_retention_keep_n": 1}' >"$site/config.json"
echo 'pa ss' | "$prefix/bin/qv_passwd" "$site/config.json" alice >/dev/null
check "anonymous push refused" eval '! sk copy -q --dest-cert-dir "$trust" "oci:$work/a:x" \
    "docker://$host/team/app:v2" >/dev/null 2>&1'
check "push with credentials" sk copy -q --dest-cert-dir "$trust" --dest-creds 'alice:pa ss' \
    "oci:$work/a:x" "docker://$host/team/app:v2"
check "pull with credentials" pulls_back team/app:v2 --src-creds 'alice:pa ss'

# The maintenance unit's commands, signed in through the site's netrc: the pass keeps the
# newest tag, the collection runs.
touch -d '1 day ago' "$work/store/repositories/team/app/_manifests/tags/v1/current/link"
printf 'default login alice password "pa ss"\n' >"$site/maintenance.netrc"
maintain() {
    local cmd
    while read -r cmd; do $cmd || return 1; done < <(sed -n 's/^ExecStart=//p' "$site/qvreg-maintenance.service")
}
out=$(maintain 2>&1 || echo failed)
check "retention pass ran" contains "$out" '"dry_run":false,"keep_n":1,"days":0,'
check "collection ran" contains "$out" '"blobs_total":'
tags=$(sk list-tags --cert-dir "$trust" --creds 'alice:pa ss' "docker://$host/team/app" | tr -d ' \n')
check "newest tag kept" contains "$tags" '"Tags":["v2"]'

echo "deploy: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
