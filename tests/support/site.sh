# Shared by the shell tests; sourced, not run. Expects $top (the checkout) and $build.

# new_work NAME: a private work directory $work (with the clients' home and runtime directories
# in it, and no storage root from the caller's environment); at exit the server of $site, when
# one runs, is stopped and $work removed.
new_work() {
    work=$(mktemp -d "/tmp/qv-$1-XXXXXX")
    export HOME="$work/home" XDG_RUNTIME_DIR="$work/xdg" XDG_CONFIG_HOME="$work/config"
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
    unset REGISTRY_STORAGE_ROOT
    trap stop_work EXIT
}
stop_work() {
    [ -z "${site:-}" ] || [ ! -f "$site/lighttpd.pid" ] || kill "$(cat "$site/lighttpd.pid")" 2>/dev/null || true
    rm -rf "$work"
}

# start_lighttpd SITE ROOT: both programs serving ROOT under lighttpd on a free loopback port,
# with SITE as the site directory; sets $port once the server answers, or returns 1.
start_lighttpd() {
    local p conf
    port=""
    for _ in $(seq 1 20); do
        p=$((20000 + RANDOM % 20000))
        conf=$(bash "$top/scripts/lighttpd-render" "$1" "$p" "$2" "$build/v2_retention" "" \
            "$build/v2_registry")
        if lighttpd -f "$conf" 2>/dev/null; then port=$p; break; fi
    done
    [ -n "$port" ] || return 1
    for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break; sleep 0.1; done
}

# blob_set LAYOUT: the blobs of an OCI layout, each checked against its own name ("bad" for one
# that is not), sorted.
blob_set() {
    local f
    for f in "$1"/blobs/sha256/*; do
        if [ "$(sha256sum <"$f" | cut -c1-64)" = "$(basename "$f")" ]; then basename "$f"; else echo bad; fi
    done | sort
}

# low_port: a random port below the kernel's ephemeral range, where another test's client
# connection (or its TIME_WAIT) cannot hold it; a caller still retries when the bind fails.
low_port() {
    local low
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range
    echo $((10000 + RANDOM % (low - 10000)))
}
