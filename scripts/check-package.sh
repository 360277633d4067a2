#!/bin/sh
# Checks a built Debian package of kv830-host.
#   lint DEB     lintian reports no error and no warning
#   install DEB  dpkg -i, kv830-host --help from /usr/bin, one poll of plant-sim, the unit's
#                security rating, the log rotation, purge
#   qemu DEB     the (armhf) package unpacked, its kv830-host --help and one poll of its
#                plant-sim run under qemu-arm
set -eu
what=$1
deb=$2
[ -f "$deb" ] || { echo "check-package: no package $deb" >&2; exit 1; }

# poll_once RUNNER SIM HOST [HOST OPTIONS]: the packaged plant-sim on a free TCP port and
# one cycle of the packaged kv830-host against it, which loads the packaged kv830.so.
# RUNNER is "" natively or qemu-arm.
poll_once() {
    runner=$1 sim=$2 host=$3
    shift 3
    work=$(mktemp -d)
    # shellcheck disable=SC2086
    $runner "$sim" --tcp 0 --seconds 60 >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    port=""
    for _ in $(seq 1 200); do
        port=$(sed -n 's/^tcp: 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/sim.out")
        [ -z "$port" ] || break
        sleep 0.1
    done
    status=0
    if [ -n "$port" ]; then
        # shellcheck disable=SC2086
        (cd "$work" && $runner "$host" --tcp "127.0.0.1:$port" --cycles 1 --no-history "$@" \
            >"$work/host.out" 2>"$work/host.err") || status=$?
    else
        status=1
        echo "check-package: plant-sim named no port" >&2
        cat "$work/sim.err" >&2
    fi
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    if [ $status -ne 0 ] || ! grep -q . "$work/host.out"; then
        echo "check-package: one poll of plant-sim failed (status $status)" >&2
        cat "$work/host.err" >&2 2>/dev/null || true
        rm -rf "$work"
        exit 1
    fi
    rm -rf "$work"
    echo "polled plant-sim once: $host"
}
echo "== $what $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"
case "$what" in
lint)
    # --fail-on warning: a warning fails the check as an error does.
    lintian --fail-on error,warning --tag-display-limit 0 "$deb"
    # The manual pages as man formats them: any complaint of groff's fails the check.
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
    dpkg-deb -x "$deb" "$dir"
    for page in "$dir"/usr/share/man/man1/*.1.gz; do
        out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || { echo "check-package: $(basename "$page"): $out" >&2; exit 1; }
    done
    ;;
install)
    # Another installer may hold dpkg's lock for a while; wait for it rather than fail.
    tries=0
    until dpkg -i "$deb" 2>/tmp/check-package.$$; do
        if grep -q "lock" /tmp/check-package.$$ && [ $tries -lt 60 ]; then
            tries=$((tries + 1))
            sleep 5
            continue
        fi
        cat /tmp/check-package.$$ >&2
        rm -f /tmp/check-package.$$
        exit 1
    done
    rm -f /tmp/check-package.$$
    trap 'dpkg --purge kv830-host >/dev/null 2>&1 || true' EXIT
    /usr/bin/kv830-host --help >/dev/null
    /usr/bin/plant-sim --help >/dev/null
    poll_once "" /usr/bin/plant-sim /usr/bin/kv830-host
    systemd-analyze security --offline=yes --threshold=20 /lib/systemd/system/kv830-host.service \
        | tail -1
    # The rotation snippet parses; -d rotates nothing.
    logrotate -d /etc/logrotate.d/kv830-host >/dev/null 2>&1 ||
        { logrotate -d /etc/logrotate.d/kv830-host; exit 1; }
    dpkg --purge kv830-host
    trap - EXIT
    if dpkg-query -W -f='${Status}' kv830-host 2>/dev/null | grep -q installed; then
        echo "check-package: kv830-host still installed after purge" >&2
        exit 1
    fi
    for left in /usr/bin/kv830-host /usr/lib/kv830-host /etc/kv830 /etc/logrotate.d/kv830-host; do
        [ ! -e "$left" ] || { echo "check-package: $left left after purge" >&2; exit 1; }
    done
    echo "installed, ran and purged cleanly"
    ;;
qemu)
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
    dpkg-deb -x "$deb" "$dir"
    # The armhf loader and libraries are Debian's armhf packages at their usual paths; the
    # package's private libraries are found through the program's run path, redirected here.
    LD_LIBRARY_PATH="$dir/usr/lib/kv830-host" qemu-arm "$dir/usr/bin/kv830-host" --help >/dev/null
    qemu-arm "$dir/usr/bin/plant-sim" --help >/dev/null
    LD_LIBRARY_PATH="$dir/usr/lib/kv830-host"
    export LD_LIBRARY_PATH
    poll_once qemu-arm "$dir/usr/bin/plant-sim" \
        "$dir/usr/bin/kv830-host" --plugin "$dir/usr/lib/kv830-host/kv830.so"
    echo "armhf programs ran under qemu-arm"
    ;;
*)
    echo "usage: check-package.sh lint|install|qemu DEB" >&2
    exit 2
    ;;
esac
