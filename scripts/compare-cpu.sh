#!/bin/sh
# CPU per cycle of kv830-host beside the plain script a plant engineer would write instead
# (scripts/poll-script.py: pymodbus and paho), in the same run: each polls its own plant-sim
# over Modbus TCP once a second and publishes every cycle to one local mosquitto.
# kv830-host runs as a plant runs it: MQTT, the history, --http and the Modbus server on.
# Halfway through, kv830-host's resident memory, address space and threads are sampled.
#
#   scripts/compare-cpu.sh [CYCLES]     (default 300; needs `make build` first)
#
# Run it on a quiet machine: the figures are CPU times, but a busy scheduler shows in them.
set -eu
me=compare-cpu
cycles=${1:-300}
./scripts/ensure-deps.sh mosquitto python3-pymodbus python3-paho-mqtt
build=${BUILD:-build}
find_program() {
    found=$(find "$build" -maxdepth 4 -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1)
    [ -n "$found" ] || { echo "$me: $1 not found under $build; run make build first" >&2; exit 1; }
    echo "$found"
}
sim_bin=$(find_program plant-sim)
host_bin=$(find_program kv830-host)
work=$(mktemp -d "${TMPDIR:-/tmp}/kv830-$me.XXXXXX")
pids=""
cleanup() {
    for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
# plant-sim --tcp 0 names its port on its first line.
start_sim() {
    "$sim_bin" --tcp 0 --seconds 0 >"$work/sim$1.out" 2>&1 &
    pids="$pids $!"
    tries=0
    until grep -q '^tcp: ' "$work/sim$1.out" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 50 ] || { echo "$me: plant-sim did not start" >&2; exit 1; }
        sleep 0.1
    done
    sed -n 's/^tcp: 127.0.0.1://p' "$work/sim$1.out" | head -n 1
}

# Runs a program and writes its CPU times (microsecond resolution, unlike time(1)'s
# hundredths) and peak resident memory to a file.
timed() {
    out=$1
    shift
    /usr/bin/python3 -c 'import resource, subprocess, sys
r = subprocess.run(sys.argv[2:])
u = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write("%f %f %d\n" % (u.ru_utime, u.ru_stime, u.ru_maxrss))
sys.exit(r.returncode)' "$out" "$@"
}

mqtt_port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt_port" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids="$pids $!"
sim_host=$(start_sim 1)
sim_script=$(start_sim 2)
sleep 0.5

timed "$work/host.time" "$host_bin" --tcp "127.0.0.1:$sim_host" \
    --cycles "$cycles" --mqtt "mqtt://127.0.0.1:$mqtt_port" \
    --history "$work/history.db" --http "127.0.0.1:$(free_port)" \
    --modbus-server "127.0.0.1:$(free_port)" >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
timed "$work/script.time" /usr/bin/python3 scripts/poll-script.py \
    "$sim_script" "$mqtt_port" "$cycles" >"$work/script.out" 2>&1 &
script_pid=$!

sleep $((cycles / 2))
child=""
for pid in $(pgrep -f "$work/history.db" || true); do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = kv830-host ] && child=$pid
done
if [ -n "$child" ]; then
    grep -E '^(VmSize|VmRSS|Threads):' "/proc/$child/status" | tr -s ' \t' ' ' >"$work/host.status"
fi
wait "$host_pid" || { echo "$me: kv830-host failed:" >&2; tail -n 5 "$work/host.err" >&2; exit 1; }
wait "$script_pid" || { echo "$me: the script failed:" >&2; tail -n 5 "$work/script.out" >&2; exit 1; }

report() {
    read -r user sys rss <"$work/$2.time"
    awk -v name="$1" -v u="$user" -v s="$sys" -v rss="$rss" -v n="$cycles" 'BEGIN {
        printf "%-48s %6.2f s CPU  %6.3f ms a cycle  peak RSS %5.1f MB\n",
               name, u + s, (u + s) * 1000 / n, rss / 1024 }'
}
echo "$cycles cycles at one a second, CPU time (user + system):"
report "kv830-host (MQTT, history, HTTP, Modbus server)" host
report "poll-script.py (pymodbus, paho)" script
awk '{ a[$1] = $2 " " $3 } END { printf "kv830-host halfway: VmRSS %s, VmSize %s, %s threads\n",
     a["VmRSS:"], a["VmSize:"], a["Threads:"] }' "$work/host.status"
