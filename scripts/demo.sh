#!/bin/sh
# Starts the plant simulator on a pseudo-terminal, polls it with kv830-host at 9600 baud
# for three cycles (history in a temporary folder), prints the snapshot grouped by plant
# unit and the cycle timings, and stops the simulator. Expects a finished build in
# $BUILD (default: build).
set -eu

me=demo
# shellcheck source=start-plant.sh
. "$(dirname "$0")/start-plant.sh"

cleanup() {
    stop_program "$sim_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_plant --seconds 60

echo "simulator on $pty; polling it at 9600 baud 8N1, slave 1, three cycles"
echo
status=0
"$host_bin" --device "$pty" --baud 9600 --cycles 3 --history "$work/history.db" \
    --log "$work/driver.log" --pretty 2>"$work/host.err" || status=$?
echo
echo "cycle timings:"
cat "$work/host.err"

stop_program "$sim_pid"
sim_pid=""
echo
echo "To watch the plant live in a browser, with trends: make live"
exit "$status"
