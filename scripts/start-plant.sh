# shellcheck shell=sh
# What demo.sh and live.sh both do first, sourced by each after setting `me` (its name in
# messages): find plant-sim and kv830-host in the build under $BUILD (default: build),
# make a scratch folder $work, and start the simulator on a pseudo-terminal with
# start_plant, which leaves its process in $sim_pid and its terminal in $pty. The
# sourcing script removes $work and stops what it started in its own exit trap.

build=${BUILD:-build}

find_program() {
    found=$(find "$build" -maxdepth 4 -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1)
    if [ -z "$found" ]; then
        echo "$me: $1 not found under $build; run make build first" >&2
        exit 1
    fi
    echo "$found"
}

# Ends a program started here, if it still runs, and waits for it.
stop_program() {
    if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
        kill -TERM "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
    fi
}

sim_bin=$(find_program plant-sim)
host_bin=$(find_program kv830-host)
work=$(mktemp -d "${TMPDIR:-/tmp}/kv830-$me.XXXXXX")
sim_pid=""
pty=""

# plant-sim --pty with the options given; it names its terminal on its first line.
start_plant() {
    "$sim_bin" --pty "$@" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    tries=0
    while [ -z "$pty" ]; do
        pty=$(sed -n 's/^pty: //p' "$work/sim.out" | head -n 1)
        [ -n "$pty" ] && break
        if ! kill -0 "$sim_pid" 2>/dev/null || [ "$tries" -ge 100 ]; then
            echo "$me: the simulator did not report its pseudo-terminal" >&2
            cat "$work/sim.err" >&2
            exit 1
        fi
        tries=$((tries + 1))
        sleep 0.05
    done
}
