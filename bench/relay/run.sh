#!/usr/bin/env bash
# Relay benchmark: the proxy's relay against a minimal epoll relay, the same relay inside Qt's
# event loop and socat, same loads, same run. Prints figures (markdown tables); never fails a build. Needs root for its private
# network namespace, in which every datagram stays on lo.
#   bench/relay/run.sh            # as root: full run (60 s match, 1,000,000-datagram floods), ~10 min
#   bench/relay/run.sh --quick    # as root: 10 s match, 200,000-datagram floods, ~2.5 min
#   bench/relay/run.sh --rounds R # R interleaved rounds, medians reported; that many times as long
# BUILD_DIR (default <repo>/build-bench) is where the four bench programs are built.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"

if [[ $(id -u) -ne 0 ]]; then
    echo "run.sh: needs root (a private network namespace): run it as root" >&2
    exit 2
fi
if ! command -v socat >/dev/null; then
    echo "run.sh: socat not installed (apt-get install socat); its column stays empty" >&2
fi

(cd "$root" && cmake --preset default -B "$build" >/dev/null)
cmake --build "$build" --target bench-relay bench-relay-qt bench-relay-epoll bench-relay-qtfloor -j2 >/dev/null

tmp="$(mktemp -d /tmp/kivra-relay-bench.XXXXXX)"
trap 'rm -rf "$tmp"' EXIT

echo "## Relay benchmark"
echo
echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
echo "- Qt: $(qtpaths6 --qt-version 2>/dev/null || echo unknown), socat: $(socat -V 2>/dev/null | awk '/socat version/ {print $3; exit}')"
echo "- command: bench/relay/run.sh $*"
echo

# A fresh network namespace (only lo, brought up here) and PID namespace: nothing reaches the
# machine's interfaces, and the relays cannot outlive the run. coturn (for qt-relayed) runs in
# it on 127.0.0.3 with explicit options only, loopback peers allowed (everything is loopback
# here), and is stopped by PID; without coturn qt-relayed reports itself not measured.
unshare --net --pid --fork --mount-proc bash -c '
    ip link set lo up
    turn_pid=""
    if command -v turnserver >/dev/null; then
        # Not pinned: on a second CPU of a VM every wake-up across CPUs costs tens of us more
        # than on a player'"'"'s path, where coturn runs on another host.
        turnserver -n --listening-ip 127.0.0.3 --relay-ip 127.0.0.3 --listening-port 3478 \
            --min-port 49152 --max-port 49999 --allow-loopback-peers \
            --lt-cred-mech --user bench:bench --realm bench.local --userdb "$1/turndb" \
            --no-tls --no-dtls --fingerprint --no-cli --pidfile "$1/turnserver.pid" \
            --log-file "$1/turnserver.log" --simple-log --no-stdout-log >/dev/null 2>&1 &
        turn_pid=$!
        for _ in $(seq 50); do ss -Hlun "sport = :3478" | grep -q . && break; sleep 0.1; done
    else
        echo "run.sh: coturn not installed (apt-get install coturn); qt-relayed stays empty" >&2
    fi
    "$0" --tmp "$1" "${@:2}"
    status=$?
    [[ -n $turn_pid ]] && { kill -TERM "$turn_pid"; wait "$turn_pid"; }
    exit $status
' "$build/bench/relay/bench-relay" "$tmp" "$@"
