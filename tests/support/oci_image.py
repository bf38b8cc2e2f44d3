#!/usr/bin/env python3
"""Writes a small image as an OCI layout directory, for pushing with a real client.

  oci_image.py DIR REF [--layers N] [--layer-bytes B] [--platforms P,P] [--seed S]
               [--raw-layer FILE]

Each layer is a gzip'ed tar holding one file of pseudo-random bytes (seeded, so one seed gives
one image). With several platforms the reference names an image index over one image manifest
per platform. --raw-layer adds FILE as a last layer, tarred and gzip'ed at level 0 (stored
deflate blocks), so a large layer takes no time to compress and a client has no reason to
compress it again. Prints the digest the reference names.
"""
import argparse
import gzip
import hashlib
import io
import json
import os
import random
import shutil
import tarfile

OCI_MANIFEST = "application/vnd.oci.image.manifest.v1+json"
OCI_INDEX = "application/vnd.oci.image.index.v1+json"
OCI_CONFIG = "application/vnd.oci.image.config.v1+json"
OCI_LAYER_GZIP = "application/vnd.oci.image.layer.v1.tar+gzip"


def put_blob(root, data):
    digest = hashlib.sha256(data).hexdigest()
    with open(os.path.join(root, "blobs", "sha256", digest), "wb") as f:
        f.write(data)
    return "sha256:" + digest, len(data)


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def put_file_layer(root, path):
    tmp = os.path.join(root, "layer.tmp")
    tar_path = tmp + ".tar"
    with tarfile.open(tar_path, "w", format=tarfile.USTAR_FORMAT) as tar:
        tar.add(path, arcname=os.path.basename(path))
    with open(tar_path, "rb") as src, gzip.GzipFile(tmp, "wb", compresslevel=0, mtime=0) as dst:
        shutil.copyfileobj(src, dst, 1 << 20)
    diff = file_digest(tar_path)
    os.remove(tar_path)
    digest = file_digest(tmp)
    size = os.path.getsize(tmp)
    os.rename(tmp, os.path.join(root, "blobs", "sha256", digest))
    return "sha256:" + digest, size, "sha256:" + diff


def layer(rng, name, size):
    payload = rng.randbytes(size)
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        info = tarfile.TarInfo(name)
        info.size = size
        info.mtime = 0
        tar.addfile(info, io.BytesIO(payload))
    tar_bytes = raw.getvalue()
    return gzip.compress(tar_bytes, mtime=0), hashlib.sha256(tar_bytes).hexdigest()


def image(root, rng, arch, args):
    layers, diff_ids = [], []
    for i in range(args.layers):
        blob, diff = layer(rng, f"{arch}-layer{i}.bin", args.layer_bytes)
        digest, size = put_blob(root, blob)
        layers.append({"mediaType": OCI_LAYER_GZIP, "digest": digest, "size": size})
        diff_ids.append("sha256:" + diff)
    if args.raw_layer:
        digest, size, diff = put_file_layer(root, args.raw_layer)
        layers.append({"mediaType": OCI_LAYER_GZIP, "digest": digest, "size": size})
        diff_ids.append(diff)
    config = {
        "architecture": arch,
        "os": "linux",
        "config": {"Env": ["SEED=%d" % args.seed]},
        "rootfs": {"type": "layers", "diff_ids": diff_ids},
    }
    digest, size = put_blob(root, json.dumps(config, sort_keys=True).encode())
    manifest = {
        "schemaVersion": 2,
        "mediaType": OCI_MANIFEST,
        "config": {"mediaType": OCI_CONFIG, "digest": digest, "size": size},
        "layers": layers,
    }
    digest, size = put_blob(root, json.dumps(manifest).encode())
    return {"mediaType": OCI_MANIFEST, "digest": digest, "size": size,
            "platform": {"architecture": arch, "os": "linux"}}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("dir")
    p.add_argument("ref")
    p.add_argument("--layers", type=int, default=2)
    p.add_argument("--layer-bytes", type=int, default=4096)
    p.add_argument("--platforms", default="amd64")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--raw-layer", default="")
    args = p.parse_args()
    root = args.dir
    os.makedirs(os.path.join(root, "blobs", "sha256"), exist_ok=True)
    with open(os.path.join(root, "oci-layout"), "w") as f:
        json.dump({"imageLayoutVersion": "1.0.0"}, f)
    rng = random.Random(args.seed)
    platforms = args.platforms.split(",")
    children = [image(root, rng, arch, args) for arch in platforms]
    if len(children) == 1:
        top = dict(children[0])
        del top["platform"]
    else:
        index = {"schemaVersion": 2, "mediaType": OCI_INDEX, "manifests": children}
        digest, size = put_blob(root, json.dumps(index).encode())
        top = {"mediaType": OCI_INDEX, "digest": digest, "size": size}
    top["annotations"] = {"org.opencontainers.image.ref.name": args.ref}
    with open(os.path.join(root, "index.json"), "w") as f:
        json.dump({"schemaVersion": 2, "manifests": [top]}, f)
    print(top["digest"])


if __name__ == "__main__":
    main()
