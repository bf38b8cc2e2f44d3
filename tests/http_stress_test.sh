#!/usr/bin/env bash
# Eight curl clients at once against the registry under lighttpd, each doing a random mix of
# chunked and one-shot uploads (some with a second PATCH racing the finish), manifest pushes
# and re-pushes under shared and own tags, tag and digest deletions, listings, statistics,
# retention passes, collections and store repairs; then a look at what the store holds.
# Usage: http_stress_test.sh BUILD_DIR   (QV_HTTP_STRESS_SECONDS sets the length, 8 by default)
# With QV_HTTP_STRESS_SERVERS ("http://HOST:PORT ...", servers sharing one store) and
# QV_HTTP_STRESS_ROOT (that store, as this host sees it), every request goes to a server
# picked at random instead of to a server of its own.
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${QV_HTTP_STRESS_SECONDS:-8}
workers=8
work=$(mktemp -d /tmp/qv-httpstress-XXXXXX)
site="$work/site" root="$work/store"
trap '[ ! -f "$site/lighttpd.pid" ] || kill "$(cat "$site/lighttpd.pid")" 2>/dev/null; rm -rf "$work"' EXIT

. "$top/tests/support/site.sh"
if [ -n "${QV_HTTP_STRESS_SERVERS:-}" ]; then
    read -r -a servers <<<"$QV_HTTP_STRESS_SERVERS"
    root=$QV_HTTP_STRESS_ROOT
else
    start_lighttpd "$site" "$root" || { echo "FAIL: lighttpd did not start"; exit 1; }
    servers=("http://127.0.0.1:$port")
fi
# server: one of the servers, at random for every request.
server() { echo "${servers[SRANDOM % ${#servers[@]}]}"; }

sha() { sha256sum "$1" | cut -c1-64; }
descriptor() { printf '{"mediaType":"application/octet-stream","digest":"sha256:%s","size":%s}' "$(sha "$1")" "$(stat -c %s "$1")"; }

# Each worker's blobs and three images built from them: bodies differ between workers and
# images, so what a tag names at the end tells who pushed what.
for w in $(seq 0 $((workers - 1))); do
    d="$work/w$w"
    mkdir -p "$d"
    printf '{"architecture":"amd64","os":"linux","worker":%s}' "$w" >"$d/cfg"
    for l in 0 1 2; do head -c $((1000 + RANDOM % 60000)) /dev/urandom >"$d/l$l"; done
    for i in 0 1 2; do
        printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":%s,"layers":[%s,%s]}' \
            "$(descriptor "$d/cfg")" "$(descriptor "$d/l$i")" "$(descriptor "$d/l$(((i + 1) % 3))")" >"$d/img$i"
    done
done

# code METHOD URL [curl args...]: the status; the body lands in $out, the headers in $hdr.
code() {
    local m=$1 u=$2
    shift 2
    curl -s -o "$out" -D "$hdr" -w '%{http_code}' -X "$m" "$@" "$u" || echo 000
}
note() { echo "$1 $2" >>"$log"; }  # note OP STATUS

upload_chunked() {  # upload_chunked FILE REPO: POST, two PATCHes, PUT (maybe a racing PATCH)
    local f=$1 repo=$2 s loc size half digest
    s=$(code POST "$(server)/v2/$repo/blobs/uploads/" --data-binary '')
    note upload-start "$s"
    [ "$s" = 202 ] || return 0
    loc=$(tr -d '\r' <"$hdr" | sed -n 's/^Location: //p')
    size=$(stat -c %s "$f") half=$((size / 2)) digest="sha256:$(sha "$f")"
    s=$(code PATCH "$(server)$loc" -H "Content-Range: 0-$((half - 1))" \
        -H 'Content-Type: application/octet-stream' --data-binary @<(head -c "$half" "$f"))
    note upload-patch "$s"
    s=$(code PATCH "$(server)$loc" -H "Content-Range: $half-$((size - 1))" \
        -H 'Content-Type: application/octet-stream' --data-binary @<(tail -c +$((half + 1)) "$f"))
    note upload-patch "$s"
    if [ $((RANDOM % 3)) = 0 ]; then
        # A late chunk racing the finish: either lands before it (and the digest fails) or
        # finds the upload gone; the store must never hold a blob under the wrong name.
        (curl -s -o /dev/null -w 'upload-racing-patch %{http_code}\n' -X PATCH \
            --data-binary 'late bytes' "$(server)$loc" >>"$log") &
    fi
    s=$(code PUT "$(server)$loc?digest=$digest" --data-binary '')
    note upload-finish "$s"
    [ "$s" != 201 ] || echo "${loc##*/}" >>"$finished"
    wait
}

upload_one_shot() {  # upload_one_shot FILE REPO
    local s
    s=$(code POST "$(server)/v2/$2/blobs/uploads/?digest=sha256:$(sha "$1")" --data-binary @"$1")
    note upload-one-shot "$s"
}

push() {  # push IMAGE REPO TAG: the blobs again when the store lost them meanwhile
    local img=$1 repo=$2 tag=$3 s try b
    for try in 1 2 3; do
        s=$(code PUT "$(server)/v2/$repo/manifests/$tag" \
            -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' --data-binary @"$img")
        note push "$s"
        [ "$s" = 400 ] && grep -q MANIFEST_BLOB_UNKNOWN "$out" || break
        for b in cfg l0 l1 l2; do upload_one_shot "$(dirname "$img")/$b" "$repo"; done
    done
    if [ "$s" = 201 ] && [ "${repo%%/*}" = own ]; then echo "$repo $tag $img" >>"$owned"; fi
}

# protocol_push IMAGE REPO TAG: as a client pushes: each blob looked for (HEAD) or mounted,
# uploaded only when missing, then the manifest. Collections run meanwhile, and must never
# take what the push found: its put answering anything but 201 is a failure.
protocol_push() {
    local img=$1 repo=$2 tag=$3 d b s digest loc
    d=$(dirname "$img")
    for b in cfg l0 l1 l2; do
        digest="sha256:$(sha "$d/$b")"
        if [ $((RANDOM % 2)) = 0 ]; then
            s=$(code HEAD "$(server)/v2/$repo/blobs/$digest" -I)
            note head "$s"
        else
            s=$(code POST "$(server)/v2/$repo/blobs/uploads/?mount=$digest&from=own/w$w" --data-binary '')
            note mount "$s"
            if [ "$s" = 202 ]; then  # not stored: an upload was started instead; drop it
                loc=$(tr -d '\r' <"$hdr" | sed -n 's/^Location: //p')
                note upload-cancel "$(code DELETE "$(server)$loc")"
            fi
            [ "$s" = 201 ] && s=200
        fi
        [ "$s" = 200 ] || upload_one_shot "$d/$b" "$repo"
    done
    s=$(code PUT "$(server)/v2/$repo/manifests/$tag" \
        -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' --data-binary @"$img")
    note protocol-push "$s"
    [ "$s" = 201 ] || echo "protocol push of $repo:$tag answered $s: $(cat "$out")" >>"$d/lost"
    if [ "$s" = 201 ] && [ "${repo%%/*}" = own ]; then echo "$repo $tag $img" >>"$owned"; fi
}

# index_push N: an index over two of the worker's images, by digest in its own repository.
index_push() {
    local d="$work/w$1" repo="own/w$1" a b s
    a=$((RANDOM % 3)) b=$(((a + 1) % 3))
    for i in $a $b; do push "$d/img$i" "$repo" "sha256:$(sha "$d/img$i")"; done
    printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[%s,%s]}' \
        "$(descriptor "$d/img$a")" "$(descriptor "$d/img$b")" >"$d/index$a"
    s=$(code PUT "$(server)/v2/$repo/manifests/i0" \
        -H 'Content-Type: application/vnd.oci.image.index.v1+json' --data-binary @"$d/index$a")
    note index-push "$s"
    [ "$s" != 201 ] || echo "$repo i0 $d/index$a" >>"$owned"
}

# own_delete N: a tag of the worker's own, or an image by digest (refused while an index lists
# it); what went is noted, so that the end checks only what should still be there.
own_delete() {
    local d="$work/w$1" repo="own/w$1" s img tag
    if [ $((RANDOM % 2)) = 0 ]; then
        tag="o$((RANDOM % 3))"
        s=$(code DELETE "$(server)/v2/$repo/manifests/$tag")
        note delete-own-tag "$s"
        [ "$s" != 202 ] || echo "$repo $tag -" >>"$owned"
    else
        img="$d/img$((RANDOM % 3))"
        s=$(code DELETE "$(server)/v2/$repo/manifests/sha256:$(sha "$img")")
        note delete-own-digest "$s"
        if [ "$s" = 202 ]; then  # every tag that named it went with it
            awk -v img="$img" '{last[$1 " " $2] = $3} END {for (k in last) if (last[k] == img) print k}' \
                "$owned" | while read -r r t; do echo "$r $t -" >>"$owned"; done
        fi
    fi
}

# store_check: a repair among the pushes, deletions and collections (refused with 409 while a
# collection runs). The store is sound, so it must find nothing damaged and act on nothing.
store_check() {
    local s
    s=$(code POST "$(server)/v2/_fsck?repair=1" --data '')
    note fsck "$s"
    if [ "$s" = 200 ] && { ! grep -q '"damaged":{"count":0,' "$out" || grep -q '"action":"[^n]' "$out"; }; then
        echo "a repair found damage or acted: $(cat "$out")" >>"$d/lost"
    fi
}

worker() {  # worker N
    local w=$1 d="$work/w$1" end=$((SECONDS + seconds)) op repo tag img s
    out="$d/out" hdr="$d/hdr" log="$d/log" finished="$d/finished" owned="$d/owned"
    : >"$log" && : >"$finished" && : >"$owned" && : >"$d/lost"
    for b in cfg l0 l1 l2; do upload_chunked "$d/$b" "own/w$w"; done
    while [ $SECONDS -lt $end ]; do
        repo="shared/r$((RANDOM % 2))" tag="t$((RANDOM % 8))" img="$d/img$((RANDOM % 3))"
        op=$((RANDOM % 20))
        case $op in
            16 | 17) protocol_push "$d/img$((RANDOM % 3))" "own/w$w" "o$((RANDOM % 3))" ;;
            18) index_push "$w" ;;
            19) own_delete "$w" ;;
            0 | 1) upload_chunked "$d/l$((RANDOM % 3))" "$repo" ;;
            2) upload_one_shot "$d/cfg" "$repo" ;;
            3 | 4 | 5) push "$img" "$repo" "$tag" ;;
            6) push "$d/img$((RANDOM % 3))" "own/w$w" "o$((RANDOM % 3))" ;;
            7) note delete-tag "$(code DELETE "$(server)/v2/$repo/manifests/$tag")" ;;
            8) note delete-digest "$(code DELETE "$(server)/v2/$repo/manifests/sha256:$(sha "$img")")" ;;
            9) note tags "$(code GET "$(server)/v2/$repo/tags/list?n=$((RANDOM % 4))&last=t$((RANDOM % 8))")" ;;
            10) note catalog "$(code GET "$(server)/v2/_catalog?n=2")" ;;
            11) note stats "$(code GET "$(server)/v2/_stats")" ;;
            12) note get "$(code GET "$(server)/v2/$repo/manifests/$tag")" ;;
            13) note blob "$(code GET "$(server)/v2/$repo/blobs/sha256:$(sha "$d/l0")" -r 0-9)" ;;
            14) if [ $((RANDOM % 2)) = 0 ]; then
                    note retention "$(code POST "$(server)/v2/_retention?keep_n=4&untagged_days=$((RANDOM % 2))&dry_run=$((RANDOM % 2))" --data '')"
                else
                    note gc "$(code POST "$(server)/v2/_gc?dry_run=$((RANDOM % 2))" --data '')"
                fi ;;
            15) if [ $((RANDOM % 2)) = 0 ]; then
                    note gc-progress "$(code GET "$(server)/v2/_gc")"
                else
                    store_check
                fi ;;
        esac
    done
}

pids=()
for w in $(seq 0 $((workers - 1))); do
    worker "$w" &
    pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done

fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
cat "$work"/w*/log >"$work/all.log"
echo "requests by operation and status:"
sort "$work/all.log" | uniq -c | sort -k2 | sed 's/^/   /'
# A server error is a fault whatever the race; so is a request the server never answered, and
# an upload's chunk refused (each worker sends its chunks in order: a 416 means a server saw
# an upload older than it is).
if grep -qE ' (5[0-9][0-9]|000)$' "$work/all.log"; then fail "server errors or no answer"; fi
if grep -E '^upload-patch ' "$work/all.log" | grep -qv ' 202$'; then fail "upload chunks refused"; fi

# Every tag link names a stored manifest whole.
while IFS= read -r link; do
    text=$(cat "$link")
    [[ $text =~ ^sha256:[0-9a-f]{64}$ ]] || { fail "bad link $link: $text"; continue; }
    manifests=${link%%/_manifests/*}/_manifests
    [ -f "$manifests/${text#sha256:}" ] || fail "link to a missing manifest: $link"
done < <(find "$root/repositories" -path '*/tags/*/current/link')
# Every blob a stored manifest references is there, and every blob is named by its bytes.
while IFS= read -r body; do
    for ref in $(grep -oE '"digest":"sha256:[0-9a-f]{64}"' "$body" | cut -d: -f3 | tr -d '"'); do
        [ -f "$root/blobs/sha256/${ref:0:2}/$ref" ] || fail "manifest $body references missing blob $ref"
    done
done < <(find "$root/repositories" -path '*/_manifests/*' -type f -regex '.*/[0-9a-f]\{64\}')
while IFS= read -r blob; do
    [ "$(sha "$blob")" = "$(basename "$blob")" ] || fail "blob named wrongly: $blob"
done < <(find "$root/blobs" -type f)
# No finished upload left a file behind.
while IFS= read -r id; do
    [ -z "$(find "$root/uploads" -name "$id*")" ] || fail "finished upload $id left files"
done < <(cat "$work"/w*/finished)
# Nothing was moved to quarantine.
[ ! -e "$root/quarantine" ] || fail "a repair quarantined: $(find "$root/quarantine" -type f)"
# A push that followed the protocol never failed for want of what it had found.
while IFS= read -r line; do fail "$line"; done < <(cat "$work"/w*/lost)
# pulls_whole REPO DIGEST: the manifest and everything it names answer with their own bytes.
pulls_whole() {
    local repo=$1 digest=$2 ref
    curl -s -o "$work/m" "$(server)/v2/$repo/manifests/$digest"
    [ "sha256:$(sha "$work/m")" = "$digest" ] || return 1
    if grep -q '"manifests"' "$work/m"; then
        for ref in $(grep -oE '"digest":"sha256:[0-9a-f]{64}"' "$work/m" | cut -d'"' -f4); do
            pulls_whole "$repo" "$ref" || return 1
        done
        return 0
    fi
    for ref in $(grep -oE '"digest":"sha256:[0-9a-f]{64}"' "$work/m" | cut -d'"' -f4); do
        curl -s -o "$work/b" "$(server)/v2/$repo/blobs/$ref"
        [ "sha256:$(sha "$work/b")" = "$ref" ] || return 1
    done
}
# Own tags, which only their worker writes or deletes (retention keeps four per repository),
# still name the last image their worker pushed under them with 201, byte for byte, and pull
# whole: config, layers and an index's children.
for w in $(seq 0 $((workers - 1))); do
    declare -A last=()
    while read -r repo tag img; do last["$repo $tag"]=$img; done <"$work/w$w/owned"
    for key in "${!last[@]}"; do
        read -r repo tag <<<"$key"
        img=${last[$key]}
        if [ "$img" = - ]; then
            [ "$(curl -s -o /dev/null -w '%{http_code}' "$(server)/v2/$repo/manifests/$tag")" = 404 ] ||
                fail "$repo:$tag was deleted but still answers"
            continue
        fi
        curl -s -o "$work/got" "$(server)/v2/$repo/manifests/$tag"
        cmp -s "$work/got" "$img" || { fail "$repo:$tag does not read back as pushed"; continue; }
        pulls_whole "$repo" "sha256:$(sha "$img")" || fail "$repo:$tag does not pull whole"
    done
    unset last
done

echo "http_stress_test: $(wc -l <"$work/all.log") requests in ${seconds}s, $fails failures"
[ "$fails" -eq 0 ]
