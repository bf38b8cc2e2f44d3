#!/usr/bin/env bash
# Requests per second through lighttpd on loopback (wrk), each route against the CGI floor (a
# static C program answering a fixed text through the same server, in the same run; and the
# same program linked against the shared C library and yyjson, the floor those allow) and, for
# the GETs, against lighttpd serving the same bytes as a static file; then the system calls one
# request makes (strace -c). A manifest put is set against a static C program that makes the
# same file and directory flushes on the same file system.
#   bench/request_bench.sh [BUILD_DIR] [SECONDS] [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
secs=${2:-2}
rounds=${3:-5}
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
cc -O2 -DWITH_YYJSON -o "$work/floor_dyn" "$top/bench/request/floor.c" -lyyjson
cc -O2 -static -DFLOOR_DIR="\"$work/floor-put\"" -o "$work/floor_put" "$top/bench/request/floor_put.c"

port=""
for _ in $(seq 1 20); do
    p=$(low_port)
    conf=$(bash "$top/scripts/lighttpd-render" "$site" "$p" "$root" "$build/v2_retention" "" \
        "$build/v2_registry")
    cp "$work/floor" "$work/floor_dyn" "$work/floor_put" "$site/"
    cat >>"$conf" <<EOT
\$HTTP["url"] =~ "^/floor" {
    alias.url = ("/floor_put" => "$site/floor_put", "/floor_dyn" => "$site/floor_dyn",
                 "/floor" => "$site/floor")
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

echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores, ${secs} s per run, medians of $rounds rounds"
# The rate drifts over a run on a shared machine, so each route is measured in rounds, each
# beside its floors measured again, and every figure printed is the median over the rounds
# (the ratios: the medians of each round's own ratio). ab measures HEAD, so HEAD is set
# against floors measured by ab as well.
median_of() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
row() {  # row LABEL METHOD PATH [STATIC_NAME]
    local m=GET f fd r st rs="" fs="" fds="" sts="" q1="" q2="" q3=""
    [ "$2" != HEAD ] || m=HEAD
    for _ in $(seq "$rounds"); do
        f=$(rps "$m" "$base/floor")
        r=$(rps "$2" "$base/v2$3")
        fd=$(rps "$m" "$base/floor_dyn")
        rs+=" $r" fs+=" $f" fds+=" $fd"
        q1+=" $(awk -v a="$r" -v b="$f" 'BEGIN {printf "%.3f", a / b}')"
        q2+=" $(awk -v a="$r" -v b="$fd" 'BEGIN {printf "%.3f", a / b}')"
        if [ -n "${4:-}" ]; then
            st=$(rps "$2" "$base/$4")
            sts+=" $st"
            q3+=" $(awk -v a="$r" -v b="$st" 'BEGIN {printf "%.3f", a / b}')"
        fi
    done
    printf '%-22s %6s req/s  floor %5s  ratio %.2f  shared-library floor %5s  ratio %.2f  syscalls %s' \
        "$1" "$(median_of <<<"$rs")" "$(median_of <<<"$fs")" "$(median_of <<<"$q1")" \
        "$(median_of <<<"$fds")" "$(median_of <<<"$q2")" "$(calls "$2" "$3")"
    [ -z "$sts" ] || printf '  static %6s req/s  ratio %.2f' "$(median_of <<<"$sts")" "$(median_of <<<"$q3")"
    echo
}
row "GET /v2/" GET /
row "HEAD manifest by tag" HEAD /team/app/manifests/v1
row "GET manifest by tag" GET /team/app/manifests/v1 manifest
row "HEAD blob" HEAD "/team/app/blobs/$layer"
row "GET 1 KiB blob" GET "/team/app/blobs/$layer" layer
pr="" pfs="" pq=""
for _ in $(seq "$rounds"); do
    put_floor=$(rps PUT "$base/floor_put" "$work/manifest")
    put=$(rps PUT "$base/v2/team/app/manifests/v1" "$work/manifest")
    pr+=" $put" pfs+=" $put_floor"
    pq+=" $(awk -v a="$put" -v b="$put_floor" 'BEGIN {printf "%.3f", b / a}')"
done
printf '%-22s %6s req/s  flush floor %5s  floor/put %.2f  syscalls %s\n' "PUT manifest (tag)" \
    "$(median_of <<<"$pr")" "$(median_of <<<"$pfs")" "$(median_of <<<"$pq")" \
    "$(calls PUT /team/app/manifests/v1 "$work/manifest")"
