#!/usr/bin/env bash
# Times the referrers route and a digest deletion that takes attachments along, in a repository
# of 10,000 manifests of which 2,000 are attachments of one image, against the floor of reading
# every manifest body once (cat), in one run.
#   bench/referrers_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
runs=${2:-5}
work=$(mktemp -d /tmp/qv-refbench-XXXXXX)
trap 'rm -rf "$work"' EXIT
. "$top/bench/timing.sh"

# The bodies, written straight into the store: their names are their digests.
python3 - "$work/store" <<'PY'
import hashlib, os, sys
root = sys.argv[1]
repo = os.path.join(root, "repositories", "team", "app", "_manifests")
os.makedirs(os.path.join(root, "blobs", "sha256"), exist_ok=True)
os.makedirs(repo, exist_ok=True)
def put(body):
    hex_ = hashlib.sha256(body).hexdigest()
    with open(os.path.join(repo, hex_), "wb") as f:
        f.write(body)
    rev = os.path.join(repo, "revisions", "sha256", hex_)
    os.makedirs(rev, exist_ok=True)
    with open(os.path.join(rev, "link"), "w") as f:
        f.write("sha256:" + hex_)
    return "sha256:" + hex_
cfg = '{"mediaType":"application/vnd.oci.empty.v1+json","digest":"sha256:' + "4" * 64 + '","size":2}'
image = put(b'{"schemaVersion":2,"config":' + cfg.encode() + b',"layers":[]}')
for i in range(2000):
    put(('{"schemaVersion":2,"artifactType":"application/vnd.example.sig","config":%s,'
         '"layers":[],"subject":{"mediaType":"x","digest":"%s","size":1},'
         '"annotations":{"n":"%d"}}' % (cfg, image, i)).encode())
for i in range(7999):
    put(('{"schemaVersion":2,"config":%s,"layers":[],"annotations":{"n":"other %d"}}'
         % (cfg, i)).encode())
with open(os.path.join(os.path.dirname(root), "image"), "w") as f:
    f.write(image)
PY
image=$(cat "$work/image")
manifests="$work/store/repositories/team/app/_manifests"

route() {
    REQUEST_METHOD=GET PATH_INFO="/team/app/referrers/$image" REGISTRY_STORAGE_ROOT="$work/store" \
        "$build/v2_registry"
}
floor() { find "$manifests" -maxdepth 1 -type f -name '????????????????*' -exec cat {} + >/dev/null; }

count=$(route | grep -o '"digest"' | wc -l)
[ "$count" = 2000 ] || { echo "referrers listed: $count, not 2000" >&2; exit 1; }
: >"$work/a" && : >"$work/b"
for _ in $(seq "$runs"); do
    us_of route >>"$work/a"
    us_of floor >>"$work/b"
done
a=$(median <"$work/a") b=$(median <"$work/b")
peak=$( { /usr/bin/time -f '%M' env REQUEST_METHOD=GET PATH_INFO="/team/app/referrers/$image" \
    REGISTRY_STORAGE_ROOT="$work/store" "$build/v2_registry" >/dev/null; } 2>&1 | tail -1)
printf 'referrers (2,000 of 10,000 manifests)  route %8.1f ms   cat of every body %8.1f ms   ratio %s   peak %s KiB\n' \
    "$(ratio "$a" 1000)" "$(ratio "$b" 1000)" "$(ratio "$a" "$b")" "$peak"

d=$(us_of env REQUEST_METHOD=DELETE PATH_INFO="/team/app/manifests/$image" \
    REGISTRY_STORAGE_ROOT="$work/store" "$build/v2_registry")
left=$(find "$manifests" -maxdepth 1 -type f | wc -l)
printf 'digest deletion taking 2,000 attachments along  %8.1f ms   manifests left %s (of 10,001)\n' \
    "$(ratio "$d" 1000)" "$left"
