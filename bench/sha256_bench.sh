#!/usr/bin/env bash
# Throughput of sha256_file against openssl (SHA extensions) and against sha256sum (portable
# back end) on a 256 MiB file of random bytes. Every figure is the median of five runs of a
# whole process, timed from outside, so start-up and file reading count for both sides.
# Usage: bench/sha256_bench.sh [path/to/sha256_bench]   (default: build/sha256_bench)
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
bench="${1:-$here/build/sha256_bench}"
runs=5
size_mib=256

[[ -x "$bench" ]] || { echo "no benchmark program at $bench (build target sha256_bench)" >&2; exit 2; }
for tool in openssl sha256sum; do
    command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
file="$work/random.bin"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null  # warm the page cache so every contender reads from memory

expected="$(sha256sum "$file" | cut -c1-64)"

# Prints the wall time of one run in nanoseconds; the command's first 64 characters of output
# that look like a digest must match the expected one.
time_once() {
    local start end out
    start=$(date +%s%N)
    out="$("$@")"
    end=$(date +%s%N)
    if ! grep -q "$expected" <<<"$out"; then
        echo "wrong digest from: $*" >&2
        echo "$out" >&2
        exit 1
    fi
    echo $((end - start))
}

# Median wall time (ns) of $runs runs.
median_ns() {
    local i
    for ((i = 0; i < runs; i++)); do time_once "$@"; done | sort -n | sed -n "$(((runs + 1) / 2))p"
}

mbps() { awk -v ns="$1" -v mib="$size_mib" 'BEGIN { printf "%.1f", mib * 1048576 / 1e6 / (ns / 1e9) }'; }
ratio() { awk -v ours="$1" -v theirs="$2" 'BEGIN { printf "%.3f", theirs / ours }'; }

report() {
    local label="$1" ns="$2"
    printf '  %-26s median %8.1f ms  %8s MB/s\n' "$label" "$(awk -v n="$ns" 'BEGIN{print n/1e6}')" "$(mbps "$ns")"
}

echo "sha256 throughput, ${size_mib} MiB random file, median of ${runs} runs"

if "$bench" "$file" shani >/dev/null 2>&1; then
    ours_ni=$(median_ns "$bench" "$file" auto)
    ossl=$(median_ns openssl dgst -sha256 "$file")
    report "sha256_file (SHA-NI)" "$ours_ni"
    report "openssl dgst -sha256" "$ossl"
    echo "  ratio ours/openssl:        $(ratio "$ours_ni" "$ossl")   (target >= 0.9)"
else
    echo "  this CPU has no SHA extensions: SHA-NI comparison skipped"
fi

ours_portable=$(median_ns "$bench" "$file" portable)
coreutils=$(median_ns sha256sum "$file")
report "sha256_file (portable)" "$ours_portable"
report "sha256sum" "$coreutils"
echo "  ratio portable/sha256sum:  $(ratio "$ours_portable" "$coreutils")   (target >= 1.0)"
