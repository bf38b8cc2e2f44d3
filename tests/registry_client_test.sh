#!/usr/bin/env bash
# The registry under lighttpd on loopback, driven by a real container client (skopeo) and curl:
# push, inspect, list, pull back and compare, delete, retention and collection, with
# authentication off and on, the quota, and a 256 MiB layer with the program's peak memory.
# Usage: registry_client_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qv-client-XXXXXX)
export HOME="$work/home" XDG_RUNTIME_DIR="$work/xdg" XDG_CONFIG_HOME="$work/config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
unset REGISTRY_STORAGE_ROOT

pidfiles=()
stop() {
    for f in "${pidfiles[@]}"; do [ ! -f "$f" ] || kill "$(cat "$f")" 2>/dev/null || true; done
    rm -rf "$work"
}
trap stop EXIT
[ -z "${QV_KEEP:-}" ] || trap 'for f in "${pidfiles[@]}"; do kill "$(cat "$f")"; done' EXIT  # keep $work to look at

fails=0 passes=0
check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passes=$((passes + 1)); else echo "FAIL: $name"; fails=$((fails + 1)); fi
}
contains() { grep -qF -- "$2" <<<"$1"; }

# start_site NAME [CONFIG_JSON]: a site with its own root on a free port; sets $host. With
# QV_TEST_STREAM_BLOBS=1 the program streams every blob itself instead of handing whole ones
# to the server to send.
start_site() {
    local name=$1 config=${2:-} site="$work/$1" port="" p conf
    if [ "${QV_TEST_STREAM_BLOBS:-}" = 1 ]; then
        { echo '{"registry_stream_blobs": 1,'; if [ -n "$config" ]; then sed '1s/^{//' "$config"; else echo '"_": 0}'; fi; } \
            >"$work/$name-streamed.json"
        config="$work/$name-streamed.json"
    fi
    for _ in $(seq 1 20); do
        p=$((20000 + RANDOM % 20000))
        conf=$(bash "$top/scripts/lighttpd-render" "$site" "$p" "$work/$name-store" \
            "$build/v2_retention" "$config" "$build/v2_registry")
        # Every run of the registry program leaves its peak resident size in peak.log.
        mv "$site/v2_registry" "$site/v2_registry.real"
        # The server signals the process it started once the response is whole; time must
        # outlive that to write its figure.
        printf '#!/bin/sh\ntrap "" TERM PIPE\nexec /usr/bin/time -a -o %s -f %%M %s\n' "$site/peak.log" \
            "$site/v2_registry.real" >"$site/v2_registry"
        chmod +x "$site/v2_registry"
        if lighttpd -f "$conf" 2>/dev/null; then port=$p; break; fi
    done
    [ -n "$port" ] || { echo "FAIL: lighttpd did not start"; exit 1; }
    pidfiles+=("$site/lighttpd.pid")
    host="127.0.0.1:$port"
    for _ in $(seq 1 50); do curl -s -o /dev/null "http://$host/v2/" && break; sleep 0.1; done
}

user=""  # user:password for the site in use, empty without authentication
creds=() dest_creds=() src_creds=()
use_creds() {
    user=$1 creds=() dest_creds=() src_creds=()
    [ -z "$user" ] || creds=(--creds "$user") dest_creds=(--dest-creds "$user") src_creds=(--src-creds "$user")
}
. "$top/tests/support/site.sh"
sk() { skopeo --insecure-policy "$@"; }
push() { sk copy -q --preserve-digests --dest-tls-verify=false "${dest_creds[@]}" "$@" >/dev/null; }
pull() { sk copy -q --src-tls-verify=false "${src_creds[@]}" "$@" >/dev/null; }
# same_as_pushed LAYOUT REF [--all]: pulls REF into a fresh layout and compares every blob.
same_as_pushed() {
    local out="$work/pull-$RANDOM$RANDOM"
    pull "${@:3}" "docker://$host/$2" "oci:$out:x" && [ "$(blob_set "$out")" = "$(blob_set "$1")" ]
}

img() { python3 "$top/tests/support/oci_image.py" "$work/$1" x "${@:2}"; }
img a --layers 2 --seed 1 >"$work/a.digest"
img c --layers 2 --seed 4 >"$work/c.digest"
img b --layers 3 --seed 2 >"$work/b.digest"
img m --layers 1 --seed 3 --platforms amd64,arm64 >"$work/m.digest"

# round_trip STORE CURL_AUTH...: every client operation against the site in $host.
round_trip() {
    local store=$1 c=("${@:2}")
    check "push c:v0" push "oci:$work/c:x" "docker://$host/team/app:v0"
    check "push a:v1" push "oci:$work/a:x" "docker://$host/team/app:v1"
    check "push a:v2" push "oci:$work/a:x" "docker://$host/team/app:v2"
    check "push b:v3" push "oci:$work/b:x" "docker://$host/team/app:v3"
    check "push index" push --all "oci:$work/m:x" "docker://$host/team/deep/multi:latest"
    check "push b nested" push "oci:$work/b:x" "docker://$host/team/deep/b:keep"

    local info
    info=$(sk inspect --tls-verify=false "${creds[@]}" "docker://$host/team/app:v3" 2>&1)
    check "inspect digest" contains "$info" "\"Digest\": \"$(cat "$work/b.digest")\""
    info=$(sk inspect --raw --tls-verify=false "${creds[@]}" "docker://$host/team/deep/multi:latest")
    check "inspect index" contains "$info" '"mediaType": "application/vnd.oci.image.index.v1+json"'
    info=$(sk list-tags --tls-verify=false "${creds[@]}" "docker://$host/team/app" | tr -d ' \n')
    check "list-tags" contains "$info" '"Tags":["v0","v1","v2","v3"]'

    info=$(curl -s "${c[@]}" "http://$host/v2/_catalog?n=2")
    check "catalog page" contains "$info" '{"repositories":["team/app","team/deep/b"]}'
    check "stats" contains "$(curl -s "${c[@]}" "http://$host/v2/_stats")" '"repositories":3,"tags":6,'
    local layer code
    layer="http://$host/v2/team/app/blobs/sha256:$(ls -S "$work/a/blobs/sha256" | head -1)"
    code=$(curl -s -o /dev/null -w '%{http_code} %{size_download}' -r 0-9 "${c[@]}" "$layer")
    check "blob range" test "$code" = "206 10"
    check "blob delete refused" test "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE \
        "${c[@]}" "$layer")" = 405
    check "pull a" same_as_pushed "$work/a" team/app:v1
    check "pull b" same_as_pushed "$work/b" team/app:v3
    check "pull index --all" same_as_pushed "$work/m" team/deep/multi:latest --all

    check "delete v3" sk delete --tls-verify=false "${creds[@]}" "docker://$host/team/app:v3"
    check "v3 gone" test "$(curl -s -o /dev/null -w '%{http_code}' "${c[@]}" \
        "http://$host/v2/team/app/manifests/v3")" = 404

    # An upload in progress holds the collector off.
    local loc
    loc=$(curl -s -i -X POST --data '' "${c[@]}" "http://$host/v2/team/app/blobs/uploads/" |
        tr -d '\r' | sed -n 's/^Location: //p')
    curl -s -o /dev/null -X PATCH --data-binary 'partial' "${c[@]}" "http://$host$loc"
    info=$(curl -s -i -X POST --data '' "${c[@]}" "http://$host/v2/_gc")
    check "gc refused" contains "$info" '{"errors":[{"code":"GC_REFUSED","message":"uploads in progress"}]}'
    check "cancel upload" test "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE "${c[@]}" \
        "http://$host$loc")" = 204

    # v0 and v1 age past the retention pass's limit; v0 takes image c with it, v1 leaves a,
    # which v2 still names. The collection then frees c's two layers and its config.
    local t
    for t in v0 v1; do
        touch -d '3 days ago' "$store/repositories/team/app/_manifests/tags/$t/current/link"
    done
    info=$(curl -s -X POST --data '' "${c[@]}" "http://$host/v2/_retention?days=2")
    check "retention ran" contains "$info" '"dry_run":false,"keep_n":0,"days":2,'
    check "retention deleted two" contains "$info" '"tags_deleted":2,'
    # Past the window in which a collection spares blobs pushed or looked at.
    find "$store/blobs" -type f -exec touch -h -d '1 hour ago' {} +
    info=$(curl -s -X POST --data '' "${c[@]}" "http://$host/v2/_gc?dry_run=1")
    check "gc dry run" contains "$info" '"dry_run":true,"blobs_total":'
    check "gc dry run counts" contains "$info" '"blobs_deleted":3,'
    info=$(curl -s -X POST --data '' "${c[@]}" "http://$host/v2/_gc?dry_run=0")
    check "gc real run" contains "$info" '"dry_run":false,'
    check "gc freed c" contains "$info" '"blobs_deleted":3,'
    info=$(curl -s "${c[@]}" "http://$host/v2/_gc")
    check "gc progress" contains "$info" '"running":false,"phase":"done"'
    local blob
    for blob in $(blob_set "$work/c"); do
        [ "$blob" = "$(cut -c8- "$work/c.digest")" ] && continue  # the manifest: not a blob
        check "c's blob collected" test "$(curl -s -o /dev/null -w '%{http_code}' -I "${c[@]}" \
            "http://$host/v2/team/app/blobs/sha256:$blob")" = 404
    done

    # Whatever is still tagged pulls back whole.
    local repo tag tags
    for repo in team/app team/deep/multi team/deep/b; do
        tags=$(sk list-tags --tls-verify=false "${creds[@]}" "docker://$host/$repo" |
            python3 -c 'import json,sys; print(" ".join(json.load(sys.stdin)["Tags"]))')
        check "$repo keeps one tag" test "$(wc -w <<<"$tags")" -eq 1
        for tag in $tags; do
            case $repo in
                team/app) check "kept $repo:$tag" same_as_pushed "$work/a" "$repo:$tag" ;;
                team/deep/b) check "kept $repo:$tag" same_as_pushed "$work/b" "$repo:$tag" ;;
                *) check "kept $repo:$tag" same_as_pushed "$work/m" "$repo:$tag" --all ;;
            esac
        done
    done
}

# attachments CURL_AUTH...: a multi-platform index signed and described as a signing or SBOM
# client does it: the empty config and a payload through the upload routes, then a manifest
# whose subject is the index, put by its digest. They list and filter, leave the pulled image
# alone, and go with the index.
attachments() {
    local c=("$@") api="http://$host/v2/team/signed" idx t body pd ad loc sep expect="" info gone=()
    local empty=sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a
    idx=$(cat "$work/m.digest")
    check "push signed index" push --all "oci:$work/m:x" "docker://$host/team/signed:v1"
    check "empty config stored" test "$(curl -s -o /dev/null -w '%{http_code}' -X POST \
        --data-binary '{}' "${c[@]}" "$api/blobs/uploads/?digest=$empty")" = 201
    for t in signature sbom; do
        body="$t of $idx"
        pd=sha256:$(printf %s "$body" | sha256sum | cut -c1-64)
        loc=$(curl -s -i -X POST --data '' "${c[@]}" "$api/blobs/uploads/" |
            tr -d '\r' | sed -n 's/^Location: //p')
        sep='?'; [[ $loc != *\?* ]] || sep='&'
        check "$t payload stored" test "$(curl -s -o /dev/null -w '%{http_code}' -X PUT \
            --data-binary "$body" "${c[@]}" "http://$host$loc${sep}digest=$pd")" = 201
        printf %s '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",' \
            "\"artifactType\":\"application/vnd.example.$t\"," \
            "\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"$empty\",\"size\":2}," \
            "\"layers\":[{\"mediaType\":\"application/vnd.example.$t.payload\",\"digest\":\"$pd\",\"size\":${#body}}]," \
            "\"subject\":{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"digest\":\"$idx\"," \
            "\"size\":$(stat -c %s "$work/m/blobs/sha256/${idx#sha256:}")}," \
            "\"annotations\":{\"org.example.kind\":\"$t\"}}" >"$work/$t.json"
        ad=sha256:$(sha256sum <"$work/$t.json" | cut -c1-64)
        info=$(curl -s -i -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
            --data-binary "@$work/$t.json" "${c[@]}" "$api/manifests/$ad" | tr -d '\r')
        check "$t put" contains "$info" 'HTTP/1.1 201'
        check "$t put names its subject" contains "$info" "OCI-Subject: $idx"
        check "$t served whole" test "$(curl -s "${c[@]}" "$api/manifests/$ad" | sha256sum |
            cut -c1-64)" = "${ad#sha256:}"
        expect+=" $ad application/vnd.example.$t $(stat -c %s "$work/$t.json") $t"
        gone+=("$ad")
    done
    # referrers [QUERY]: the filter header, then the answer's entries, one line each, sorted.
    referrers() {
        curl -s -D - -o "$work/referrers.json" "${c[@]}" "$api/referrers/$idx${1:-}" | tr -d '\r' |
            grep -i '^OCI-Filters-Applied:' || true
        python3 -c 'import json, sys; d = json.load(open(sys.argv[1]))
print(d["schemaVersion"], d["mediaType"])
for m in sorted(d["manifests"], key=lambda m: m["digest"]):
    assert m["mediaType"] == "application/vnd.oci.image.manifest.v1+json"
    print(m["digest"], m["artifactType"], m["size"], m["annotations"]["org.example.kind"])
' "$work/referrers.json"
    }
    local head='2 application/vnd.oci.image.index.v1+json'
    info=$(referrers)
    check "referrers list both" test "$info" = "$(printf '%s\n' "$head"
        printf '%s %s %s %s\n' $expect | LC_ALL=C sort)"
    info=$(referrers ?artifactType=application/vnd.example.sbom)
    check "referrers filtered" test "$info" = "$(printf 'OCI-Filters-Applied: artifactType\n%s\n' "$head"
        printf '%s %s %s %s\n' $expect | grep sbom)"
    check "pull signed index --all" same_as_pushed "$work/m" team/signed:v1 --all

    check "delete signed index" test "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE \
        "${c[@]}" "$api/manifests/$idx")" = 202
    check "attachments gone from referrers" test "$(referrers)" = "$head"
    for ad in "${gone[@]}" "$idx"; do
        check "$ad gone" test "$(curl -s -o /dev/null -w '%{http_code}' "${c[@]}" \
            "$api/manifests/$ad")" = 404
    done
}

# ---- authentication off -------------------------------------------------------------------
printf '%s\n' '{"registry_immutable_tags": [{"repositories": "frozen/**", "tags": "v\\d+\\.\\d+\\.\\d+"}]}' \
    >"$work/open.json"
start_site open "$work/open.json"
round_trip "$work/open-store"
attachments
open_host=$host

# An immutable tag: pushed once, pushed again with the same image, never pushed over.
check "push immutable tag" push "oci:$work/a:x" "docker://$host/frozen/app:v1.2.3"
check "same image again" push "oci:$work/a:x" "docker://$host/frozen/app:v1.2.3"
out=$(sk copy --dest-tls-verify=false "oci:$work/b:x" "docker://$host/frozen/app:v1.2.3" 2>&1 || true)
check "push over immutable tag refused" contains "$out" "tag v1.2.3 is immutable"
check "immutable tag kept" same_as_pushed "$work/a" frozen/app:v1.2.3
check "immutable tag not deleted" test "$(curl -s -o /dev/null -w '%{http_code}' -X DELETE \
    "http://$host/v2/frozen/app/manifests/v1.2.3")" = 409

# One line in the registry's access log for each request the server saw.
# (The client's TLS probes on the plain port are no requests; the server writes its own log in
# batches, about once a second.)
same_count() {
    local ours theirs
    ours=$(wc -l <"$work/open-store/registry_access.log")
    theirs=$(grep -c '"[A-Z]* /v2' "$work/open/access.log")
    [ "$ours" -eq "$theirs" ] || { echo "registry log: $ours lines, server log: $theirs" >&2; return 1; }
}
for _ in $(seq 1 50); do same_count 2>/dev/null && break; sleep 0.1; done
check "one log line per request" same_count

# A 256 MiB layer, and the registry program's peak memory while it passes through.
head -c $((256 << 20)) /dev/urandom >"$work/big.bin"
img big --layers 0 --raw-layer "$work/big.bin" >/dev/null
rm -f "$work/big.bin"
: >"$work/open/peak.log"
start=$(date +%s%N)
check "push 256 MiB" push "oci:$work/big:x" "docker://$host/big/layer:v1"
mid=$(date +%s%N)
check "pull 256 MiB" same_as_pushed "$work/big" big/layer:v1
end=$(date +%s%N)
peak=$(sort -n "$work/open/peak.log" | tail -1)
echo "256 MiB layer: push $(((mid - start) / 1000000)) ms, pull and check" \
    "$(((end - mid) / 1000000)) ms, peak RSS of the registry program ${peak} KiB"
# Holding the layer would take 256 MiB; the sanitizers' shadow memory and quarantine take a few
# tens of MiB of their own.
bound=16384
! grep -q '^QV_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" || bound=65536
check "peak memory bounded" test "$peak" -lt "$bound"
rm -rf "$work/big" "$work"/pull-*

# ---- authentication on, with a quota ------------------------------------------------------
password='s3cret:pass'
hash=$(printf '%s' "$password" | sha256sum | cut -c1-64)
printf '{"registry_auth_user": "ci", "registry_auth_sha256": "%s", "registry_quota_bytes": %d}\n' \
    "$hash" $((1 << 20)) >"$work/auth.json"
start_site auth "$work/auth.json"
use_creds "ci:$password"
round_trip "$work/auth-store" -u "ci:$password"
attachments -u "ci:$password"

for path in / /team/app/tags/list /_catalog /_stats /_gc /_retention; do
    resp=$(curl -s -i -X POST --data '' "http://$host/v2$path")
    check "401 for $path" contains "$resp" 'HTTP/1.1 401'
    check "challenge for $path" contains "$resp" 'WWW-Authenticate: Basic realm='
done
resp=$(curl -s -i "http://$host/v2/")
check "anonymous GET /v2/ refused" contains "$resp" '{"errors":[{"code":"UNAUTHORIZED","message":"authentication required"}]}'
check "skopeo without credentials refused" \
    eval '! skopeo --insecure-policy inspect --tls-verify=false "docker://$host/team/app:v1" 2>/dev/null'
check "actor logged" grep -q '^PUT /v2/team/app/manifests/v1 0 201 ci ' "$work/auth-store/registry_access.log"

# Past the quota: a 2 MiB layer into a 1 MiB registry is refused with the quota's message.
img over --layers 1 --layer-bytes $((2 << 20)) --seed 9 >/dev/null
out=$(sk copy --dest-tls-verify=false "${dest_creds[@]}" "oci:$work/over:x" \
    "docker://$host/team/over:v1" 2>&1 || true)
check "quota refusal" contains "$out" "quota exceeded: "
check "quota denied code" contains "$out" "denied"

# ---- users with rights ---------------------------------------------------------------------
# Anonymous pulls of public/**, pushes by a user of the users file, a pull-only CI user refused
# a push with the message; the clients need no flags for any of it.
printf 'ci-pw\n' | "$build/qv_passwd" --users "$work/users.htpasswd" ci >/dev/null
printf 'dev-pw\n' | "$build/qv_passwd" --users "$work/users.htpasswd" dev >/dev/null
cat >"$work/users.json" <<JSON
{"registry_users_file": "$work/users.htpasswd",
 "registry_access": [
   {"repositories": "**", "users": ["dev"], "actions": ["pull", "push", "delete"]},
   {"repositories": "**", "users": ["ci"], "actions": ["pull"]},
   {"repositories": "public/**", "users": "anonymous", "actions": ["pull"]}],
 "registry_admins": ["dev"]}
JSON
start_site users "$work/users.json"
use_creds "dev:dev-pw"
check "user pushes" push "oci:$work/a:x" "docker://$host/public/app:v1"
use_creds ""
check "anonymous pull" same_as_pushed "$work/a" public/app:v1
out=$(sk inspect --tls-verify=false "docker://$host/public/app:v1" 2>&1) ||
    { echo "$out"; false; }
check "anonymous inspect" contains "$out" '"Digest"'
check "anonymous push refused" eval '! push "oci:$work/b:x" "docker://$host/public/app:v2" 2>/dev/null'
out=$(sk copy --dest-tls-verify=false --dest-creds ci:ci-pw "oci:$work/b:x" \
    "docker://$host/public/app:v2" 2>&1 || true)
check "pull-only user's push refused" contains "$out" "ci may not push public/app"
check "wrong password refused" eval '! sk inspect --tls-verify=false --creds dev:nope "docker://$host/public/app:v1" >/dev/null 2>&1'
check "refused sign-in logged" grep -q ' 401 refused:dev ' "$work/users-store/registry_access.log"

echo "registry client: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
