#!/bin/bash
# Starts the plant simulator on a pseudo-terminal and kv830-host polling it once a second
# with the page served on http://127.0.0.1:$LIVE_PORT/ (default 8830); both run until
# Ctrl-C. With --screenshot FILE it lets a few cycles pass, writes a PNG of the page and
# stops. Setting writes are on, with a token made up for this run and printed. Expects a
# finished build in $BUILD (default: build).
set -eu

port=${LIVE_PORT:-8830}
shot=""
if [ "${1:-}" = "--screenshot" ]; then
    shot=${2:?--screenshot needs a file}
fi

me=live
# shellcheck source=start-plant.sh
. "$(dirname "$0")/start-plant.sh"

host_pid=""
stop_all() {
    stop_program "$host_pid"
    stop_program "$sim_pid"
    host_pid=""
    sim_pid=""
}
cleanup() {
    stop_all
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "live: stopping"; exit 0' INT TERM

help=$("$host_bin" --help 2>&1 || true)
if ! printf '%s\n' "$help" | grep -q -- '--http'; then
    echo "live: this kv830-host has no --http option yet, so it cannot serve the page" >&2
    exit 1
fi

start_plant --seconds 0

set -- --device "$pty" --baud 9600 --interval 1s --history "$work/history.db" \
    --log "$work/driver.log" --http "127.0.0.1:$port"
token=""
token_option=$(printf '%s\n' "$help" | grep -o -- '--http-token[-a-z]*' | head -n 1 || true)
# The picture shows the plant as everyone sees it, without the write forms.
if [ -z "$shot" ] && printf '%s\n' "$help" | grep -q -- '--http-writes' && [ -n "$token_option" ]; then
    token=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
    printf '%s\n' "$token" >"$work/token"
    chmod 600 "$work/token"
    set -- "$@" --http-writes "$token_option" "$work/token"
fi
"$host_bin" "$@" >"$work/host.out" 2>"$work/host.err" &
host_pid=$!

url="http://127.0.0.1:$port/"
tries=0
# bash opens the connection itself: no HTTP client needed.
until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    if ! kill -0 "$host_pid" 2>/dev/null || [ "$tries" -ge 200 ]; then
        echo "live: kv830-host did not start serving on port $port (LIVE_PORT=N picks another)" >&2
        tail -n 20 "$work/host.err" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.05
done

if [ -n "$shot" ]; then
    sleep 8  # a few cycles, and a few rows in the history for the trend
    mkdir -p "$(dirname "$shot")"
    "$(find_program kv830_page_shot)" --width 1600 --height 1000 "$url" "$shot"
    exit 0
fi

echo "plant simulator on $pty, polled by kv830-host once a second"
echo
echo "    open $url"
echo
[ -n "$token" ] && echo "setting writes are on; the write token for this run is $token"
echo "Ctrl-C stops both"
while kill -0 "$host_pid" 2>/dev/null && kill -0 "$sim_pid" 2>/dev/null; do
    sleep 1
done
echo "live: a program ended by itself" >&2
tail -n 20 "$work/host.err" >&2
exit 1
