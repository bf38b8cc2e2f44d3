# Timing helpers the benchmark scripts share; sourced, not run.

us_of() {  # us_of COMMAND... : wall time of one run in microseconds
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000))
}
# fresh_copies STORE DIR...: a copy of the store at each DIR, on stable storage. Hard links:
# what is timed on them only renames and removes entries.
fresh_copies() {
    local store=$1 dir
    shift
    rm -rf "$@"
    for dir in "$@"; do cp -al "$store" "$dir"; done
    sync
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

# synced DIR COMMAND...: the command, then its writes on stable storage. syncfs of DIR's file
# system only, the one the operation under test flushes into.
synced() {
    local dir=$1
    shift
    "$@" && sync -f "$dir"
}
