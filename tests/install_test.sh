#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a C program against it with
# find_package, as another endpoint of the registry would.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qv-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/qvreg/frontend/qv_cgi.h"
test -f "$work/prefix/include/qvreg/storage/reg_storage.h"
cmake -S "$top/tests/install_consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
    >/dev/null
cmake --build "$work/build" >/dev/null
out=$("$work/build/consumer")
expected="consumer ba78 storage root dir is empty"
if [ "$out" != "$expected" ]; then
    echo "FAIL: consumer printed '$out', expected '$expected'"
    exit 1
fi
echo "install: 1 passed, 0 failed"
