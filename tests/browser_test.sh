#!/usr/bin/env bash
# The operator's page in Debian's Chromium, headless, driven by tests/browser/page_test.mjs
# against the registry under lighttpd, with images pushed by skopeo.
# Usage: browser_test.sh BUILD_DIR   (QV_SCREENSHOTS=DIR keeps the screenshots there)
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
chromium=${QV_CHROMIUM:-/usr/bin/chromium}
skip() { echo "SKIP: $*"; exit 77; }
[ -x "$chromium" ] || skip "no Chromium at $chromium (scripts/install-deps installs it)"
command -v node >/dev/null || skip "no Node.js"
[ "$(node -p 'parseInt(process.versions.node)')" -ge 20 ] || skip "Node.js 20 or newer is needed"
[ -d "$top/tests/browser/node_modules/playwright-core" ] ||
    skip "playwright-core is not installed (scripts/install-deps installs it)"
[ -x "$build/v2_registry_held" ] || skip "no $build/v2_registry_held"

. "$top/tests/support/site.sh"
new_work browser
site="$work/site" root="$work/store"
port=""
for _ in $(seq 1 20); do
    p=$(low_port)
    conf=$(bash "$top/scripts/lighttpd-render" "$site" "$p" "$root" "$build/v2_retention" "" \
        "$build/v2_registry_held")
    if lighttpd -f "$conf" 2>/dev/null; then port=$p; break; fi
done
[ -n "$port" ] || { echo "FAIL: lighttpd did not start"; exit 1; }
host="127.0.0.1:$port"
for _ in $(seq 1 50); do curl -s -o /dev/null "http://$host/v2/" && break; sleep 0.1; done

# team/app: three images, latest naming the newest; team/multi: an index over two platforms;
# other: one image.
img() { python3 "$top/tests/support/oci_image.py" "$work/$1" x "${@:2}" >/dev/null; }
push() {
    skopeo --insecure-policy copy -q --preserve-digests --dest-tls-verify=false "$@" >/dev/null
}
img one --layers 2 --seed 1
img two --layers 2 --seed 2
img three --layers 3 --seed 3
img multi --platforms amd64,arm64 --seed 4
img lone --layers 1 --seed 5 --layer-bytes 300000
push "oci:$work/one:x" "docker://$host/team/app:v1"
push "oci:$work/two:x" "docker://$host/team/app:v2"
push "oci:$work/three:x" "docker://$host/team/app:v3"
push "oci:$work/three:x" "docker://$host/team/app:latest"
push --all "oci:$work/multi:x" "docker://$host/team/multi:1.0"
push "oci:$work/lone:x" "docker://$host/other:1.0"
# A signature attached to v1: it goes with v1's manifest, and its blobs become free with it.
python3 - "http://$host" "$(skopeo inspect --raw --tls-verify=false "docker://$host/team/app:v1" |
    sha256sum | cut -c1-64)" "$(skopeo inspect --raw --tls-verify=false "docker://$host/team/app:v1" | wc -c)" <<'PY'
import hashlib, json, sys, urllib.request
base, subject, subject_size = sys.argv[1], sys.argv[2], int(sys.argv[3])
def send(method, path, data, ctype="application/octet-stream"):
    req = urllib.request.Request(base + path, data=data, method=method, headers={"Content-Type": ctype})
    return urllib.request.urlopen(req).status
def blob(data):
    digest = "sha256:" + hashlib.sha256(data).hexdigest()
    assert send("POST", "/v2/team/app/blobs/uploads/?digest=" + digest, data) == 201
    return {"mediaType": "application/vnd.example.signature", "digest": digest, "size": len(data)}
config = dict(blob(b"{}"), mediaType="application/vnd.oci.empty.v1+json")
manifest = json.dumps({
    "schemaVersion": 2, "mediaType": "application/vnd.oci.image.manifest.v1+json",
    "artifactType": "application/vnd.example.signature", "config": config,
    "layers": [blob(b"signature of v1")],
    "subject": {"mediaType": "application/vnd.oci.image.manifest.v1+json",
                "digest": "sha256:" + subject, "size": subject_size}}).encode()
digest = "sha256:" + hashlib.sha256(manifest).hexdigest()
assert send("PUT", "/v2/team/app/manifests/" + digest, manifest,
            "application/vnd.oci.image.manifest.v1+json") == 201
PY

# Tags pushed a day apart (v1 oldest), every blob dated before any collection's push window,
# and 600 blobs nothing references: a collection then has something to free and enough to
# scan for its bar to stop between 0 and 100 % while held.
age=$(($(date +%s) - 5 * 86400))
for tag in v1 v2 v3 latest; do
    age=$((age + 86400))
    touch -h -d "@$age" "$root/repositories/team/app/_manifests/tags/$tag/current/link"
done
python3 - "$root/blobs/sha256" <<'PY'
import hashlib, os, sys
for i in range(600):
    data = b"unreferenced %d" % i
    hex = hashlib.sha256(data).hexdigest()
    os.makedirs(os.path.join(sys.argv[1], hex[:2]), exist_ok=True)
    with open(os.path.join(sys.argv[1], hex[:2], hex), "wb") as f:
        f.write(data)
PY
find "$root/blobs" -type f -exec touch -d @1000000000 {} +

QV_URL="http://$host" QV_SITE="$site" QV_WORK="$work" QV_CHROMIUM="$chromium" QV_BUILD="$build" \
    QV_SCREENSHOTS="${QV_SCREENSHOTS:-$work/shots}" \
    node "$top/tests/browser/page_test.mjs"
