#!/usr/bin/env bash
# Times the registry program under lighttpd on loopback against the server's own floors, in one
# run, and reports the program's peak memory.
#   bench/registry_bench.sh [BUILD_DIR] [RUNS]
# (a) pull: GET of a 512 MiB blob through the registry program, against lighttpd serving the
#     same file statically (target <= 1.3);
# (b) push: the same blob in one PUT (after the POST that starts the upload), against the
#     floor of sha256sum over the file plus a copy of it (target <= 1.5), and against that floor
#     with the copy flushed by `sync -f` before it goes (floor+sync);
# (c) skopeo copy push and pull of an image of 20 layers;
# (d) a 1 GiB blob pushed and pulled, for the peak resident size of the registry program;
# (e) manifest put: 50 PUTs, each of a new small image manifest (config and layer pushed
#     beforehand) under a new tag, against the least a put must do: one CGI round trip
#     (GET /v2/ through the same program) and four small files (body, content type, two links)
#     each written and renamed into place; floor+sync adds `sync -f` after the writes.
# Each figure is the median of RUNS (default 5); (e) is the median of its 50 puts.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-5}
work=$(mktemp -d /tmp/qv-regbench-XXXXXX)
export HOME="$work/home" XDG_RUNTIME_DIR="$work/xdg" XDG_CONFIG_HOME="$work/config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
site="$work/site"
stop() {
    [ ! -f "$site/lighttpd.pid" ] || kill "$(cat "$site/lighttpd.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap stop EXIT

port=""
for _ in $(seq 1 20); do
    p=$((20000 + RANDOM % 20000))
    conf=$(bash "$top/scripts/lighttpd-render" "$site" "$p" "$work/store" "$build/v2_retention" \
        "" "$build/v2_registry")
    mv "$site/v2_registry" "$site/v2_registry.real"
    printf '#!/bin/sh\ntrap "" TERM PIPE\nexec /usr/bin/time -a -o %s -f %%M %s\n' \
        "$site/peak.log" "$site/v2_registry.real" >"$site/v2_registry"
    chmod +x "$site/v2_registry"
    if lighttpd -f "$conf" 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "lighttpd did not start" >&2; exit 1; }
url="http://127.0.0.1:$port"
for _ in $(seq 1 50); do curl -s -o /dev/null "$url/v2/" && break; sleep 0.1; done

. "$top/bench/timing.sh"
ms() { awk -v a="$1" 'BEGIN {printf "%.0f ms", a / 1000}'; }
peak() { sort -n "$site/peak.log" | tail -1; }

push_blob() {  # push_blob FILE DIGEST REPO
    local loc
    loc=$(curl -s -i -X POST --data '' "$url/v2/$3/blobs/uploads/" | tr -d '\r' |
        sed -n 's/^Location: //p')
    curl -s -f -o /dev/null -H "Content-Type: application/octet-stream" \
        -T "$1" "$url$loc?digest=$2"
}
pull_blob() { curl -s -f -o /dev/null "$url/v2/$2/blobs/$1"; }
static() { curl -s -f -o /dev/null "$url/blob.bin"; }
hash_copy() { sha256sum "$1" >/dev/null && cp "$1" "$work/copy"; }
floor() { hash_copy "$1" && rm -f "$work/copy"; }
floor_sync() { synced "$work" hash_copy "$1" && rm -f "$work/copy"; }

head -c $((512 << 20)) /dev/urandom >"$work/blob.bin"
digest=sha256:$(sha256sum "$work/blob.bin" | cut -c1-64)
ln "$work/blob.bin" "$site/htdocs/blob.bin"

# Warm up both paths once, then alternate so both see the same machine state.
push_blob "$work/blob.bin" "$digest" bench/blob
pull_blob "$digest" bench/blob
static
: >"$site/peak.log"
for _ in $(seq "$runs"); do
    us_of pull_blob "$digest" bench/blob >>"$work/pull"
    us_of static >>"$work/static"
    sync  # each writer starts with nothing left to flush but its own
    us_of push_blob "$work/blob.bin" "$digest" bench/blob >>"$work/push"
    us_of floor "$work/blob.bin" >>"$work/floor"
    sync
    us_of floor_sync "$work/blob.bin" >>"$work/floorsync"
done
pull=$(median <"$work/pull") stat=$(median <"$work/static")
push=$(median <"$work/push") flo=$(median <"$work/floor") flosync=$(median <"$work/floorsync")
peak512=$(peak)

# An image of 20 layers through a real client.
python3 "$top/tests/support/oci_image.py" "$work/img" x --layers 20 --layer-bytes $((1 << 20)) \
    >/dev/null
sk() { skopeo --insecure-policy copy -q "$@" >/dev/null; }
for i in $(seq "$runs"); do
    us_of sk --dest-tls-verify=false "oci:$work/img:x" "docker://127.0.0.1:$port/bench/img$i:v1" \
        >>"$work/skpush"
    rm -rf "$work/pulled"
    us_of sk --src-tls-verify=false "docker://127.0.0.1:$port/bench/img$i:v1" "oci:$work/pulled:x" \
        >>"$work/skpull"
done

# 1 GiB through the program, for its peak memory.
rm -f "$site/htdocs/blob.bin" "$work/blob.bin"
head -c $((1 << 30)) /dev/urandom >"$work/big.bin"
big=sha256:$(sha256sum "$work/big.bin" | cut -c1-64)
: >"$site/peak.log"
t_bigpush=$(us_of push_blob "$work/big.bin" "$big" bench/big)
t_bigpull=$(us_of pull_blob "$big" bench/big)
peak1g=$(peak)

# Manifest puts, each a new manifest (its own annotation) under a new tag, alternating with the
# floor.
puts=50
printf '{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":[]}}' \
    >"$work/config.json"
head -c 4096 /dev/urandom >"$work/layer.bin"
blob_ref() {  # blob_ref MEDIA_TYPE FILE: a descriptor of the file, which is pushed
    local d
    d=sha256:$(sha256sum "$2" | cut -c1-64)
    push_blob "$2" "$d" bench/man
    printf '{"mediaType":"%s","digest":"%s","size":%d}' "$1" "$d" "$(stat -c %s "$2")"
}
mtype=application/vnd.oci.image.manifest.v1+json
config_ref=$(blob_ref application/vnd.oci.image.config.v1+json "$work/config.json")
layer_ref=$(blob_ref application/vnd.oci.image.layer.v1.tar+gzip "$work/layer.bin")
for i in $(seq 0 "$puts"); do
    printf '{"schemaVersion":2,"mediaType":"%s","config":%s,"layers":[%s],"annotations":{"n":"%d"}}' \
        "$mtype" "$config_ref" "$layer_ref" "$i" >"$work/m$i.json"
done
put_manifest() {  # put_manifest I
    curl -s -f -o /dev/null -X PUT -H "Content-Type: $mtype" --data-binary "@$work/m$1.json" \
        "$url/v2/bench/man/manifests/t$1"
}
four_files() {  # four_files BODY_FILE: the files a put stores, each written and renamed
    perl -e 'local $/; open(my $in, "<", $ARGV[1]) or die; my $body = <$in>;
        for my $f (qw(body ct rev tag)) {
            open(my $h, ">", "$ARGV[0]/.$f.tmp") or die; print $h $body; close($h) or die;
            rename("$ARGV[0]/.$f.tmp", "$ARGV[0]/$f") or die }' "$work/mfiles" "$1"
}
manifest_floor() { curl -s -f -o /dev/null "$url/v2/" && four_files "$1"; }
manifest_floor_sync() { curl -s -f -o /dev/null "$url/v2/" && synced "$work" four_files "$1"; }
mkdir -p "$work/mfiles"
put_manifest 0
manifest_floor "$work/m0.json"
for i in $(seq "$puts"); do
    sync
    us_of put_manifest "$i" >>"$work/mput"
    us_of manifest_floor "$work/m$i.json" >>"$work/mfl"
    sync
    us_of manifest_floor_sync "$work/m$i.json" >>"$work/mflsync"
done
mput=$(median <"$work/mput") mflo=$(median <"$work/mfl") mflosync=$(median <"$work/mflsync")

echo "registry bench (median of $runs, same run, lighttpd on loopback)"
echo "  pull 512 MiB: registry $(ms "$pull"), static $(ms "$stat"), ratio $(ratio "$pull" "$stat") (target <= 1.3)"
echo "  push 512 MiB: registry $(ms "$push"), sha256sum + copy $(ms "$flo"), ratio $(ratio "$push" "$flo") (target <= 1.5), floor+sync $(ms "$flosync"), ratio $(ratio "$push" "$flosync")"
echo "  manifest put: registry $(ratio "$mput" 1000) ms, GET /v2/ + 4 files $(ratio "$mflo" 1000) ms, ratio $(ratio "$mput" "$mflo"), floor+sync $(ratio "$mflosync" 1000) ms, ratio $(ratio "$mput" "$mflosync") (median of $puts)"
echo "  skopeo 20 layers x 1 MiB: push $(ms "$(median <"$work/skpush")"), pull $(ms "$(median <"$work/skpull")")"
echo "  1 GiB: push $(ms "$t_bigpush"), pull $(ms "$t_bigpull")"
echo "  peak RSS of the registry program: ${peak512} KiB (512 MiB runs), ${peak1g} KiB (1 GiB)"
