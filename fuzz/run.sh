#!/usr/bin/env bash
# Runs the fuzzing harnesses, one after another, each for SECONDS (default 60):
#
#     bash fuzz/run.sh [SECONDS] [HARNESS...]
#
# HARNESS is a name such as cgi_query_fuzz (default: every fuzz/*_fuzz.cpp). The clang tree
# (build-fuzz, or $QV_FUZZ_BUILD) is configured and built when needed. Each run starts from
# the seeds in fuzz/corpus/<harness>/ and keeps what it learns in a temporary corpus, so the
# repository is never written. A crash, a sanitizer report, a timeout or an out-of-memory
# keeps its input in a temporary directory (printed) and makes the script exit with 1.
# Set QV_FUZZ_KEEP=DIR to keep each harness's grown corpus in DIR/<harness>/ across runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=60
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for src in fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi
for h in "${harnesses[@]}"; do
    [ -f "fuzz/$h.cpp" ] || { echo "fuzz/run.sh: no harness fuzz/$h.cpp" >&2; exit 2; }
done

build=${QV_FUZZ_BUILD:-$root/build-fuzz}
jobs=$(nproc)
echo "== fuzz build (clang, libFuzzer, address and undefined sanitizers) in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQV_FUZZ=ON -DQV_WERROR=ON -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF >/dev/null
nice cmake --build "$build" -j"$jobs" --target "${harnesses[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/qvfuzz-run.XXXXXX")
crashes="$work/crashes"
mkdir -p "$crashes"
failed=()
summary=()
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

for h in "${harnesses[@]}"; do
    if [ -n "${QV_FUZZ_KEEP:-}" ]; then
        corpus="$QV_FUZZ_KEEP/$h"
    else
        corpus="$work/corpus/$h"
    fi
    mkdir -p "$corpus" "$crashes/$h"
    seeds=()
    [ -d "fuzz/corpus/$h" ] && seeds=("$root/fuzz/corpus/$h")
    log="$work/$h.log"
    echo "== $h: ${seconds}s"
    rc=0
    # One process, one worker: the fuzzer runs in this shell's child alone. New inputs go
    # to the first (temporary) corpus directory, never to the seeds.
    (cd "$work" && nice -n 19 "$build/fuzz/$h" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/$h/" \
        "$corpus" "${seeds[@]}") >"$log" 2>&1 || rc=$?
    # The last status line carries executions, coverage and corpus size.
    status=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
    execs=$(grep -E '^stat::number_of_executed_units:' "$log" | awk '{print $2}' || true)
    echo "   ${status:-no status line}"
    echo "   executions: ${execs:-?}; corpus now $(find "$corpus" -type f | wc -l) files"
    found=$(find "$crashes/$h" -type f | head -n 5)
    if [ "$rc" -ne 0 ] || [ -n "$found" ]; then
        echo "   FINDING (exit $rc); the fuzzer's report:"
        grep -E 'ERROR: |SUMMARY: |runtime error: |invariant broken|==ERROR|deadly signal|Test unit written' \
            "$log" | head -n 20 | sed 's/^/     /'
        for f in $found; do echo "   input kept: $f"; done
        echo "   whole log: $log"
        failed+=("$h")
        summary+=("$h: FINDING")
    else
        summary+=("$h: ${execs:-?} runs, ${status#*DONE }")
    fi
done

echo "== fuzz summary (${seconds}s each)"
for s in "${summary[@]}"; do echo "   $s"; done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz/run.sh: findings in ${failed[*]}; inputs and logs kept in $work" >&2
    exit 1
fi
rm -rf "$work"
