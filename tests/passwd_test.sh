#!/usr/bin/env bash
# qv_passwd as an operator runs it: the user goes first into config.json (the gate reads only
# the file's start), other keys stay, and a refusal leaves the file as it was.
# Usage: passwd_test.sh BUILD_DIR
set -euo pipefail
passwd="$(cd "$1" && pwd)/qv_passwd"
work=$(mktemp -d /tmp/qv-passwd-XXXXXX)
trap 'rm -rf "$work"' EXIT
fails=0
expect() {  # expect NAME WANT_STATUS STDIN USER
    local got=0
    printf '%s' "$3" | "$passwd" "$work/config.json" "$4" >/dev/null 2>&1 || got=$?
    [ "$got" = "$2" ] || { echo "FAIL: $1: status $got, want $2"; fails=$((fails + 1)); }
}
printf '{"storage_root": "/srv/x", "registry_auth_user": "old", "k": [1, {"a": "b"}]}' \
    >"$work/config.json"
chmod 640 "$work/config.json"  # the operator's choice, which the replacement keeps
expect "set" 0 $'s3cret\n' alice
[ "$(stat -c %a "$work/config.json")" = 640 ] || { echo "FAIL: mode not kept"; fails=$((fails + 1)); }
want='{"registry_auth_user":"alice","registry_auth_sha256":"'
want+="$(printf s3cret | sha256sum | cut -c1-64)"'","storage_root":"/srv/x","k":[1,{"a":"b"}]}'
got=$(tr -d ' \n' <"$work/config.json")
[ "$got" = "$want" ] || { echo "FAIL: written: $got"; fails=$((fails + 1)); }
cp "$work/config.json" "$work/before"
expect "empty password" 1 $'\n' bob
expect "no input" 1 '' bob
expect "colon in name" 1 $'pw\n' 'a:b'
expect "quote in name" 1 $'pw\n' 'a"b'
expect "no name" 1 $'pw\n' ''
expect "space in name" 1 $'pw\n' 'a b'
expect "reserved name" 1 $'pw\n' anonymous
expect "not UTF-8" 1 $'pw\n' $'\xff'
cmp -s "$work/config.json" "$work/before" || { echo "FAIL: a refusal changed the file"; fails=$((fails + 1)); }
echo '[1]' >"$work/config.json"
expect "not an object" 1 $'pw\n' bob
# The hash is never readable by more than the file it replaces, not even while it is written:
# a new file is 0600 from its creation (and its directory's owner's: the site's user runs the
# programs), and so is every replacement's temporary.
rm -f "$work/config.json"
[ "$(id -u)" != 0 ] || chown 65534:65534 "$work"
umask 022
expect "new file" 0 $'pw\n' carol
[ "$(stat -c %a "$work/config.json")" = 600 ] || { echo "FAIL: a new file is not 0600"; fails=$((fails + 1)); }
[ "$(id -u)" != 0 ] || [ "$(stat -c %u "$work/config.json")" = 65534 ] ||
    { echo "FAIL: a new file is not its directory owner's"; fails=$((fails + 1)); }
# (The leak checker of a sanitizer build cannot run under a tracer.)
if ! ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0 strace -f -e trace=open,openat,openat2,creat \
    -o "$work/trace" "$passwd" "$work/config.json" dave <<<pw >/dev/null 2>&1; then
    echo "passwd: the modes files are created with not checked (strace cannot run here)"
elif ! grep -q O_CREAT "$work/trace" || grep O_CREAT "$work/trace" | grep -qv '0600'; then
    echo "FAIL: created wider than 0600: $(grep O_CREAT "$work/trace")"; fails=$((fails + 1))
fi
got=0; "$passwd" >/dev/null 2>&1 || got=$?
[ "$got" = 2 ] || { echo "FAIL: usage: status $got"; fails=$((fails + 1)); }

# A users file: bcrypt lines any htpasswd reads, one a user, added, changed and deleted, the
# others kept.
users="$work/users"
printf 'carol:$2y$05$abcdefghijklmnopqrstuuOOeYoyKrz0p8nn5zuLfdG.YC0fD.1Ni\n' >"$users"
for step in "alice a1" "bob b1" "alice a2"; do
    set -- $step
    printf '%s\n' "$2" | "$passwd" --users "$users" "$1" >/dev/null ||
        { echo "FAIL: users: $step"; fails=$((fails + 1)); }
done
"$passwd" --users "$users" --delete bob >/dev/null || { echo "FAIL: users: delete"; fails=$((fails + 1)); }
got=0; "$passwd" --users "$users" --delete bob >/dev/null 2>&1 || got=$?
[ "$got" = 1 ] || { echo "FAIL: users: a second delete: status $got"; fails=$((fails + 1)); }
[ "$(cut -d: -f1 "$users" | tr '\n' ' ')" = "carol alice " ] ||
    { echo "FAIL: users: $(cat "$users")"; fails=$((fails + 1)); }
htpasswd -vb "$users" alice a2 >/dev/null 2>&1 || { echo "FAIL: users: not bcrypt"; fails=$((fails + 1)); }
grep -q '^alice:\$2b\$' "$users" || { echo "FAIL: users: not \$2b\$"; fails=$((fails + 1)); }

# Every tool: --help on standard output with status 0, --version, wrong usage on standard
# error with status 2.
for tool in qv_passwd qv_gc qv_fsck; do
    bin="$(dirname "$passwd")/$tool"
    out=$("$bin" --help 2>/dev/null) && [[ $out == usage:* ]] ||
        { echo "FAIL: $tool --help"; fails=$((fails + 1)); }
    out=$("$bin" --version 2>/dev/null) && [[ $out == "$tool "[0-9]* ]] ||
        { echo "FAIL: $tool --version: $out"; fails=$((fails + 1)); }
    got=0; err=$("$bin" --no-such-option 2>&1 >/dev/null) || got=$?
    [ "$got" = 2 ] && [[ $err == usage:* ]] || { echo "FAIL: $tool wrong usage: $got"; fails=$((fails + 1)); }
done
echo "passwd: $fails failed"
[ "$fails" -eq 0 ]
