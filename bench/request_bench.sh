#!/usr/bin/env bash
# Requests per second through lighttpd on loopback (wrk), each route against the CGI floor (a
# static C program answering a fixed text through the same server, in the same run) and, for
# the GETs, against lighttpd serving the same bytes as a static file; then the system calls one
# request makes (strace -c). A manifest put is set against a static C program that makes the
# same file and directory flushes on the same file system.
#   bench/request_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
secs=${2:-5}
work=$(mktemp -d /tmp/qv-reqbench-XXXXXX)
site="$work/site" root="$work/store"
cleanup() {
    [ -f "$site/lighttpd.pid" ] && kill "$(cat "$site/lighttpd.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
. "$top/tests/support/site.sh"

mkdir -p "$work/floor-put"
cc -O2 -static -o "$work/floor" "$top/bench/request/floor.c"
cc -O2 -static -DFLOOR_DIR="\"$work/floor-put\"" -o "$work/floor_put" "$top/bench/request/floor_put.c"

port=""
for _ in $(seq 1 20); do
    p=$(low_port)
    conf=$(bash "$top/scripts/lighttpd-render" "$site" "$p" "$root" "$build/v2_retention" "" \
        "$build/v2_registry")
    cp "$work/floor" "$work/floor_put" "$site/"
    cat >>"$conf" <<EOT
\$HTTP["url"] =~ "^/floor" {
    alias.url = ("/floor_put" => "$site/floor_put", "/floor" => "$site/floor")
    cgi.assign = ("" => "")
}
EOT
    if lighttpd -f "$conf" 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "lighttpd did not start" >&2; exit 1; }
base="http://127.0.0.1:$port"
for _ in $(seq 1 50); do curl -s -o /dev/null "$base/v2/" && break; sleep 0.1; done

# An image: a config, a 1 KiB layer, a manifest tagged v1.
head -c 1024 /dev/urandom >"$work/layer"
echo '{"architecture":"amd64","os":"linux"}' >"$work/config"
digest_of() { echo "sha256:$(sha256sum <"$1" | cut -c1-64)"; }
for f in layer config; do
    curl -s -o /dev/null -X POST --data-binary "@$work/$f" "$base/v2/team/app/blobs/uploads/?digest=$(digest_of "$work/$f")"
done
layer=$(digest_of "$work/layer")
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":1024}]}' \
    "$(digest_of "$work/config")" "$(stat -c %s "$work/config")" "$layer" >"$work/manifest"
ct='Content-Type: application/vnd.oci.image.manifest.v1+json'
curl -s -o /dev/null -X PUT -H "$ct" --data-binary "@$work/manifest" "$base/v2/team/app/manifests/v1"
cp "$work/layer" "$site/htdocs/layer"
cp "$work/manifest" "$site/htdocs/manifest"

# rps METHOD URL [BODY_FILE]: wrk's requests per second (2 threads, 8 connections); ab's for
# HEAD, whose answers wrk cannot read (it waits for the body Content-Length announces).
rps() {
    local lua="$work/req.lua"
    if [ "$1" = HEAD ]; then
        ab -q -i -c 8 -t "$secs" -n 1000000 "$2" 2>/dev/null | awk '/Requests per second/ {printf "%.0f", $4}'
        return
    fi
    {
        echo "wrk.method = \"$1\""
        if [ -n "${3:-}" ]; then
            echo "wrk.headers[\"Content-Type\"] = \"application/vnd.oci.image.manifest.v1+json\""
            printf 'local f = io.open("%s", "rb"); wrk.body = f:read("*a"); f:close()\n' "$3"
        fi
    } >"$lua"
    wrk -t2 -c8 -d"${secs}s" -s "$lua" "$2" | awk '/Requests\/sec/ {printf "%.0f", $2}'
}
# calls METHOD PATH [BODY_FILE]: system calls of one request of the program, run as the server
# runs it.
calls() {
    local out="$work/strace" len=""
    [ -z "${3:-}" ] || len=$(stat -c %s "$3")
    (cd "$site" && strace -f -c -o "$out" -E REQUEST_METHOD="$1" -E PATH_INFO="$2" \
        -E SCRIPT_NAME=/v2 -E REGISTRY_STORAGE_ROOT="$root" ${len:+-E CONTENT_LENGTH="$len"} \
        -E CONTENT_TYPE=application/vnd.oci.image.manifest.v1+json \
        "$site/v2_registry" <"${3:-/dev/null}" >/dev/null)
    awk '/total$/ {print $(NF-2)}' "$out" | tail -1
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores, ${secs} s per run"
floor=$(rps GET "$base/floor")
printf '%-30s %8s req/s\n' "CGI floor (static C)" "$floor"
row() {  # row LABEL METHOD PATH [STATIC_NAME]
    local r static="" ratio_static=""
    r=$(rps "$2" "$base/v2$3")
    if [ -n "${4:-}" ]; then
        static=$(rps "$2" "$base/$4")
        ratio_static=$(printf '  static %6s req/s  ratio to static %s' "$static" "$(awk -v a="$r" -v b="$static" 'BEGIN {printf "%.2f", a / b}')")
    fi
    printf '%-30s %8s req/s  ratio to floor %s  syscalls %s%s\n' "$1" "$r" \
        "$(awk -v a="$r" -v b="$floor" 'BEGIN {printf "%.2f", a / b}')" "$(calls "$2" "$3")" "$ratio_static"
}
row "GET /v2/" GET /
row "HEAD manifest by tag" HEAD /team/app/manifests/v1
row "GET manifest by tag" GET /team/app/manifests/v1 manifest
row "HEAD blob" HEAD "/team/app/blobs/$layer"
row "GET 1 KiB blob" GET "/team/app/blobs/$layer" layer
put=$(rps PUT "$base/v2/team/app/manifests/v1" "$work/manifest")
put_floor=$(rps PUT "$base/floor_put" "$work/manifest")
printf '%-30s %8s req/s  flush floor %6s req/s  floor/put %s  syscalls %s\n' "PUT manifest (tag)" "$put" \
    "$put_floor" "$(awk -v a="$put" -v b="$put_floor" 'BEGIN {printf "%.2f", b / a}')" \
    "$(calls PUT /team/app/manifests/v1 "$work/manifest")"
