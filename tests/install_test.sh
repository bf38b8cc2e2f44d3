#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a C program against it, as another
# endpoint of the registry would: once from a C-only CMake project with find_package, once with
# the C compiler and pkg-config alone.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qv-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

fails=0 passes=0
check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passes=$((passes + 1)); else echo "FAIL: $name"; fails=$((fails + 1)); fi
}
expected="consumer ba78 storage root dir is empty"

for f in lib/libqvreg.a include/qvreg/frontend/qv_cgi.h include/qvreg/storage/reg_storage.h \
    include/qvreg/digest/sha256.h lib/cmake/qvreg/qvregConfig.cmake lib/pkgconfig/qvreg.pc \
    bin/v2_retention bin/v2_registry; do
    check "installed $f" test -f "$prefix/$f"
done

cmake -S "$top/tests/install_consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
if cmake --build "$work/cmake" >"$work/cmake.log" 2>&1; then
    check "C-only CMake consumer runs" test "$("$work/cmake/consumer")" = "$expected"
else
    cat "$work/cmake.log"
    check "C-only CMake consumer builds" false
fi

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
if cc -std=c11 -o "$work/pc-consumer" "$top/tests/install_consumer/consumer.c" \
    $(pkg-config --cflags --libs qvreg); then
    check "pkg-config consumer runs" test "$("$work/pc-consumer")" = "$expected"
else
    check "pkg-config consumer builds" false
fi

echo "install: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
