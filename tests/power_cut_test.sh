#!/usr/bin/env bash
# Acknowledged writes survive a power cut. The store lives on a small ext4 file system in a
# file behind a loop device; the moment the registry has answered the pushes, then a tag
# deletion, then a collection, then a retention pass, the backing file is copied as it is: the disk a power cut
# would leave. Each copy is mounted (the journal replays, as after a reboot), served on its own
# and pulled from with skopeo, which checks every blob's digest.
# Usage: power_cut_test.sh BUILD_DIR   (root, losetup and mkfs.ext4 needed; exits 77 to skip)
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/support/site.sh"
say() { echo "power_cut_test: $*"; }
skip() { say "SKIP: $*"; exit 77; }

[ "$(id -u)" = 0 ] || skip "needs root to attach loop devices and mount"
for tool in losetup mkfs.ext4 mount umount mountpoint; do
    command -v "$tool" >/dev/null || skip "no $tool"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qv-powercut-XXXXXX")
export HOME="$work/home" XDG_RUNTIME_DIR="$work/xdg" XDG_CONFIG_HOME="$work/config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
unset REGISTRY_STORAGE_ROOT

pidfiles=() mounts=() loops=()
stop_server() {  # stop_server PIDFILE: waits (up to 5 s) for the server to be gone
    local pid
    [ -f "$1" ] || return 0
    pid=$(cat "$1")
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
}
unmount() {  # unmount DIR: a program the server started may still be finishing on it
    mountpoint -q "$1" || return 0
    for _ in $(seq 1 50); do umount "$1" 2>/dev/null && return 0; sleep 0.1; done
    umount -l "$1" 2>/dev/null || true
}
cleanup() {
    local f m d
    for f in "${pidfiles[@]}"; do stop_server "$f"; done
    for m in "${mounts[@]}"; do unmount "$m"; done
    for d in "${loops[@]}"; do losetup -d "$d" 2>/dev/null || true; done
    if grep -qF " $work/" /proc/mounts; then
        say "left $work: still mounted"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# attach_mount IMAGE DIR [OPTIONS]: a fresh loop device over IMAGE, mounted on DIR; on failure
# the reason is in $why. (Not run in a subshell: cleanup needs what it attached.)
attach_mount() {
    local dev
    dev=$(losetup -f --show "$1" 2>"$work/why") || { why=$(paste -sd ' ' "$work/why"); return 1; }
    loops+=("$dev")
    mkdir -p "$2"
    mounts+=("$2")
    mount -t ext4 ${3:+-o "$3"} "$dev" "$2" 2>"$work/why" ||
        { why=$(paste -sd ' ' "$work/why"); return 1; }
}

fails=0 passes=0
fail() { say "FAIL: $*"; fails=$((fails + 1)); }
die() { say "FAIL: $*"; exit 1; }

# start_site NAME ROOT: the programs serving ROOT on a free port; sets $host. The site (its
# upload spool among it) stays on the ordinary disk.
start_site() {
    start_lighttpd "$work/$1" "$2" || die "lighttpd did not start"
    pidfiles+=("$work/$1/lighttpd.pid")
    host="127.0.0.1:$port"
}

sk() { skopeo --insecure-policy "$@"; }
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
# The config and layer blobs an OCI layout's reference leads to, as "digest size" lines.
layer_list() {
    python3 - "$1" <<'EOF'
import json, os, sys
root = sys.argv[1]
def body(digest):
    with open(os.path.join(root, "blobs", *digest.split(":"))) as f:
        return json.load(f)
def blobs(desc):
    m = body(desc["digest"])
    for child in m.get("manifests", []):
        yield from blobs(child)
    if "config" in m:
        yield from [m["config"], *m["layers"]]
with open(os.path.join(root, "index.json")) as f:
    for top in json.load(f)["manifests"]:
        for d in blobs(top):
            print(d["digest"], d["size"])
EOF
}

# The images: one with layers of several blocks, one the deletion takes (its three blobs are
# its own, so the collection must remove exactly those), and an index over two platforms.
declare -A layout=([team/app0:v1]=a [team/app1:v1]=b [team/multi:v1]=m)
declare -A all=([team/multi:v1]=1)  # pushed and pulled with --all
refs=(team/app0:v1 team/app1:v1 team/multi:v1)
deleted=team/app1:v1
img() { python3 "$top/tests/support/oci_image.py" "$work/$1" x "${@:2}" >/dev/null; }
img a --layers 2 --layer-bytes 300000 --seed 1
img b --layers 2 --seed 2
img m --layers 1 --seed 3 --platforms amd64,arm64
for ref in "${refs[@]}"; do layer_list "$work/${layout[$ref]}" >"$work/${layout[$ref]}.blobs"; done
freed=$(wc -l <"$work/b.blobs") stored=$(sort -u "$work"/[abm].blobs | wc -l)

# The live file system. commit=600: the journal would otherwise commit whatever is pending
# every 5 seconds on its own; this way nothing the registry wrote reaches the backing file
# within the test unless the registry flushes it (fsync and fdatasync force a commit). Data
# pages are not written back before 30 seconds either, and with delayed allocation they would
# be unreachable without a commit anyway. The tables are initialised up front so that no
# background thread writes while the copies are taken.
disk="$work/disk.img" live="$work/live"
truncate -s 128M "$disk"
mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$disk" ||
    skip "mkfs.ext4 failed on an image file"
attach_mount "$disk" "$live" commit=600 || skip "cannot attach and mount a loop device: $why"
root_of() { echo "$1/registry"; }  # the registry creates it on its first request
start_site site "$(root_of "$live")"
live_pidfile=${pidfiles[-1]}

# ---- phase 1: pushes, then the power cut ----------------------------------------------------
for ref in "${refs[@]}"; do
    out=$(sk copy -q --preserve-digests --dest-tls-verify=false ${all[$ref]:+--all} \
        "oci:$work/${layout[$ref]}:x" "docker://$host/$ref" 2>&1) ||
        die "push of $ref failed: $(tr '\n' ' ' <<<"$out")"
done
cp --sparse=always "$disk" "$work/cut1.img"

# ---- phase 2: a tag deletion, a power cut, a collection, another power cut -------------------
# A cut after each answer: the collection's own flushes would make an unflushed deletion
# before it durable too.
# Past the window in which a collection spares blobs pushed or looked at.
find "$(root_of "$live")/blobs" -type f -exec touch -h -d '1 hour ago' {} +
sync -f "$live"
gone_repo=${deleted%:*} gone_tag=${deleted##*:}
deleted_code=$(status -X DELETE "http://$host/v2/$gone_repo/manifests/$gone_tag")
cp --sparse=always "$disk" "$work/cut2.img"
[ "$deleted_code" = 202 ] || die "DELETE $deleted answered $deleted_code"
gc=$(curl -s -X POST --data '' "http://$host/v2/_gc")
cp --sparse=always "$disk" "$work/cut3.img"
report="{\"dry_run\":false,\"blobs_total\":$stored,\"blobs_reachable\":$((stored - freed))"
[[ $gc == "$report,\"blobs_deleted\":$freed,"* ]] ||
    die "the collection did not delete $deleted's $freed blobs: $gc"

# ---- phase 3: a retention pass (it flushes once at its end), then the power cut --------------
aged=team/app0:v1
touch -h -d '40 days ago' "$(root_of "$live")/repositories/${aged%:*}/_manifests/tags/${aged##*:}/current/link"
sync -f "$live"
retention=$(curl -s -X POST --data '' "http://$host/v2/_retention?days=30")
cp --sparse=always "$disk" "$work/cut4.img"
[[ $retention == *'"tags_deleted":1,'* ]] || die "the retention pass did not delete $aged: $retention"

stop_server "$live_pidfile"
unmount "$live"

# ---- each copy as a reboot would find it ----------------------------------------------------
# inspect_copy N WHEN GONE_REF KEPT_REF...: GONE_REF (if any) answers 404 and every KEPT_REF
# pulls whole, as pushed.
inspect_copy() {
    local n=$1 when=$2 gone=$3 ref blob size got before=$fails
    shift 3
    local mnt="$work/copy$n" root
    root=$(root_of "$mnt")
    attach_mount "$work/cut$n.img" "$mnt" ||
        { fail "the disk left $when does not mount: $why"; return; }
    if [ -x "$build/qv_fsck" ]; then
        out=$("$build/qv_fsck" --root "$root" 2>&1) ||
            fail "qv_fsck finds the store left $when damaged: $(tr '\n' ' ' <<<"$out")"
    fi
    # What the copy holds, taken before serving it adds anything; shown when a check fails.
    local listing="  the disk left $when holds no store at all"
    [ ! -d "$root" ] || listing="  the store left $when holds (size, path):
$(find "$root" -type f -printf '  %s %P\n' | sort -k2 | head -60)"
    start_site "check$n" "$root"
    for ref in "$@"; do
        local pulled="$work/pull$n-${layout[$ref]}"
        if ! out=$(sk copy -q --src-tls-verify=false ${all[$ref]:+--all} "docker://$host/$ref" \
            "oci:$pulled:x" 2>&1); then
            fail "$ref did not survive a power cut $when: $(tr '\n' ' ' <<<"$out")"
            continue
        fi
        [ "$(blob_set "$pulled")" = "$(blob_set "$work/${layout[$ref]}")" ] ||
            { fail "$ref pulls after a power cut $when, but not as pushed"; continue; }
        while read -r blob size; do
            got=$(curl -s -o /dev/null -I -w '%{http_code} %header{content-length}' \
                "http://$host/v2/${ref%:*}/blobs/$blob")
            [ "$got" = "200 $size" ] ||
                fail "HEAD of $ref's blob $blob after a power cut $when: '$got', not '200 $size'"
        done <"$work/${layout[$ref]}.blobs"
    done
    if [ -n "$gone" ]; then
        got=$(status "http://$host/v2/${gone%:*}/manifests/${gone##*:}")
        [ "$got" = 404 ] || fail "$gone, deleted, is back after a power cut $when (GET: $got)"
    fi
    stop_server "${pidfiles[-1]}"
    if [ "$fails" -eq "$before" ]; then
        passes=$((passes + 1))
    else
        echo "$listing"
    fi
    unmount "$mnt"
}
inspect_copy 1 "after the pushes" "" "${refs[@]}"
inspect_copy 2 "after the deletion" "$deleted" team/app0:v1 team/multi:v1
inspect_copy 3 "after the collection" "$deleted" team/app0:v1 team/multi:v1
inspect_copy 4 "after the retention pass" "$aged" team/multi:v1

say "$passes of 4 power cuts survived, $fails failures"
[ "$fails" -eq 0 ]
