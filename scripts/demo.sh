#!/bin/sh
# Starts the plant simulator on a pseudo-terminal, polls it with kv830-host at 9600 baud
# for three cycles (history in a temporary folder), prints the snapshot grouped by plant
# unit and the cycle timings, and stops the simulator. Expects a finished build in
# $BUILD (default: build).
set -eu

build=${BUILD:-build}
find_program() {
    found=$(find "$build" -maxdepth 3 -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1)
    if [ -z "$found" ]; then
        echo "demo: $1 not found under $build; run make build first" >&2
        exit 1
    fi
    echo "$found"
}
sim_bin=$(find_program plant-sim)
host_bin=$(find_program kv830-host)

work=$(mktemp -d "${TMPDIR:-/tmp}/kv830-demo.XXXXXX")
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$sim_bin" --pty --seconds 60 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!

# The simulator names its pseudo-terminal on its first line of output.
pty=""
tries=0
while [ -z "$pty" ]; do
    pty=$(sed -n 's/^pty: //p' "$work/sim.out" | head -n 1)
    [ -n "$pty" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null || [ "$tries" -ge 100 ]; then
        echo "demo: the simulator did not report its pseudo-terminal" >&2
        cat "$work/sim.err" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.05
done

echo "simulator on $pty; polling it at 9600 baud 8N1, slave 1, three cycles"
echo
status=0
"$host_bin" --device "$pty" --baud 9600 --cycles 3 --history "$work/history.db" \
    --log "$work/driver.log" --pretty 2>"$work/host.err" || status=$?
echo
echo "cycle timings:"
cat "$work/host.err"

kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo
echo "To watch the plant live in a browser, with trends: make live"
exit "$status"
