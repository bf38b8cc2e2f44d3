#!/usr/bin/env bash
# Two web servers, one store on GlusterFS: the trial of the multi-host deployment.
#   sudo bash tests/distributed/trial.sh [BUILD_DIR]
# Installs GlusterFS from Debian when missing, starts its daemon, makes a two-brick volume on
# loopback (bricks named qv-brick1 and qv-brick2, mapped to 127.0.0.2 and 127.0.0.3 in
# /etc/hosts for the trial), mounts it twice with the options the README requires, serves one
# registry per mount with scripts/serve, and then:
#   - races rename_new through the two mounts (10,000 rounds; QV_TRIAL_RACE_ROUNDS): exactly
#     one winner each round;
#   - runs the HTTP stress test for 60 s (QV_TRIAL_SECONDS) with every request sent to one of
#     the two servers at random: no server error, no refused upload chunk, no lost or torn file;
#   - checks the store whole (qv_fsck) and that both servers list the same repositories, tags
#     and statistics;
#   - times a 256 MiB blob pushed and pulled through a server on the volume and through one on
#     local disk.
# Everything it made is taken down again, /etc/hosts restored. Needs root and /dev/fuse;
# exits 77 (skipped) without them.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
rounds=${QV_TRIAL_RACE_ROUNDS:-10000}
seconds=${QV_TRIAL_SECONDS:-60}
# The clock margin the README asks for on several hosts.
margin=60

[ "$(id -u)" = 0 ] || { echo "trial: needs root (mounts, a daemon, /etc/hosts)"; exit 77; }
[ -c /dev/fuse ] || { echo "trial: needs /dev/fuse"; exit 77; }
for p in v2_registry v2_retention qv_fsck platform_test; do
    [ -x "$build/$p" ] || { echo "trial: $build/$p missing: build first"; exit 2; }
done
if ! command -v glusterd >/dev/null || ! command -v mount.glusterfs >/dev/null; then
    echo "trial: installing GlusterFS from Debian"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq glusterfs-server glusterfs-client >/dev/null
fi

volume=qvtrial$$
work=$(mktemp -d /var/tmp/qv-trial-XXXXXX)
mounts=("$work/mount-a" "$work/mount-b")
serve_pids=() started_glusterd=""
cp /etc/hosts "$work/hosts"
teardown() {
    set +e
    for p in "${serve_pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    for m in "${mounts[@]}"; do mountpoint -q "$m" && umount "$m"; done
    gluster --mode=script volume stop "$volume" force >/dev/null 2>&1
    gluster --mode=script volume delete "$volume" >/dev/null 2>&1
    [ -z "$started_glusterd" ] || pkill -x glusterd
    [ -z "$started_glusterd" ] || pkill -x glusterfsd
    cat "$work/hosts" >/etc/hosts
    rm -rf "$work"
}
trap teardown EXIT

printf '127.0.0.2 qv-brick1\n127.0.0.3 qv-brick2\n' >>/etc/hosts
if ! pgrep -x glusterd >/dev/null; then
    glusterd -p "$work/glusterd.pid"
    started_glusterd=1
    for _ in $(seq 50); do gluster --mode=script pool list >/dev/null 2>&1 && break; sleep 0.2; done
fi

# A distributed volume: files land on either brick by name, so a rename may cross bricks.
mkdir -p "$work/brick1" "$work/brick2" "${mounts[@]}"
gluster --mode=script volume create "$volume" "qv-brick1:$work/brick1" "qv-brick2:$work/brick2" \
    force >/dev/null
# Without these caches a change through one mount is seen at once through the other.
for option in performance.stat-prefetch performance.quick-read performance.io-cache \
    performance.open-behind; do
    gluster --mode=script volume set "$volume" "$option" off >/dev/null
done
gluster --mode=script volume start "$volume" >/dev/null
mount -t glusterfs -o attribute-timeout=0,entry-timeout=0,negative-timeout=0 \
    "qv-brick1:/$volume" "${mounts[0]}"
mount -t glusterfs -o attribute-timeout=0,entry-timeout=0,negative-timeout=0 \
    "qv-brick2:/$volume" "${mounts[1]}"

fails=0
check() {  # check NAME COMMAND...
    local name=$1
    shift
    if "$@"; then echo "ok: $name"; else echo "FAIL: $name"; fails=$((fails + 1)); fi
}

echo "trial: $rounds placement races through the two mounts"
mkdir "${mounts[0]}/race"
check "one winner in each of $rounds placement races" \
    env QV_PLACE_RACE="${mounts[0]}/race ${mounts[1]}/race $rounds" \
    "$build/platform_test" --gtest_filter=Platform.PlacementStaysExclusiveWithoutNoReplaceRename \
    --gtest_brief=1

. "$top/tests/support/site.sh"
echo "{\"registry_clock_margin_seconds\": $margin}" >"$work/config.json"
# serve NAME ROOT [ARGS...]: scripts/serve for ROOT on a free port; sets $port, or stops the
# trial with the server's log.
serve() {
    local name=$1 root=$2 p
    shift 2
    port=""
    for _ in $(seq 20); do
        p=$(low_port)
        bash "$top/scripts/serve" --port "$p" --root "$root" --site "$work/site-$name" \
            --build "$build" "$@" >"$work/serve-$name.log" 2>&1 &
        serve_pids+=($!)
        for _ in $(seq 100); do
            curl -s -o /dev/null "http://127.0.0.1:$p/v2/" && { port=$p; return 0; }
            sleep 0.1
        done
    done
    echo "FAIL: server $name did not start"
    cat "$work/serve-$name.log"
    exit 1
}
ports=()
for i in 0 1; do
    serve "$i" "${mounts[$i]}/store" --config "$work/config.json"
    ports+=("$port")
done
servers="http://127.0.0.1:${ports[0]} http://127.0.0.1:${ports[1]}"

echo "trial: ${seconds} s of stress, every request to a server at random"
check "stress across both servers" env QV_HTTP_STRESS_SECONDS="$seconds" \
    QV_HTTP_STRESS_SERVERS="$servers" QV_HTTP_STRESS_ROOT="${mounts[0]}/store" \
    bash "$top/tests/http_stress_test.sh" "$build"

check "the store is whole" "$build/qv_fsck" --root "${mounts[1]}/store" --clock-margin "$margin"
listing() {  # listing PORT: the catalog, every repository's tags, the statistics
    local base="http://127.0.0.1:$1/v2" repo
    curl -s "$base/_catalog?n=1000"
    for repo in $(curl -s "$base/_catalog?n=1000" | grep -oE '"[a-z0-9/]+"' | tr -d '"' | grep /); do
        curl -s "$base/$repo/tags/list"
    done
    curl -s "$base/_stats"
}
check "both servers list the same" test "$(listing "${ports[0]}")" = "$(listing "${ports[1]}")"

# The cost of the volume: a 256 MiB blob pushed and pulled through a server on it, and through
# a server on local disk, in the same run.
serve local "$work/local-store"
local_port=$port
head -c $((256 << 20)) /dev/urandom >"$work/big"
big="sha256:$(sha256sum "$work/big" | cut -c1-64)"
ms() { local t0; t0=$(date +%s%N); "$@" >/dev/null; echo $((($(date +%s%N) - t0) / 1000000)); }
for where in "volume ${ports[0]}" "local-disk $local_port"; do
    set -- $where
    push_ms=$(ms curl -sf -X POST --data-binary @"$work/big" "http://127.0.0.1:$2/v2/cost/$1/blobs/uploads/?digest=$big")
    pull_ms=$(ms curl -sf -o "$work/pulled" "http://127.0.0.1:$2/v2/cost/$1/blobs/$big")
    check "256 MiB pulled whole from $1" test "sha256:$(sha256sum "$work/pulled" | cut -c1-64)" = "$big"
    echo "cost: 256 MiB on $1: push $push_ms ms, pull $pull_ms ms"
done

echo "trial: $fails failures"
[ "$fails" = 0 ]
