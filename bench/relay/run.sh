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
# machine's interfaces, and the relays cannot outlive the run.
unshare --net --pid --fork --mount-proc bash -c '
    ip link set lo up
    exec "$0" --tmp "$1" "${@:2}"
' "$build/bench/relay/bench-relay" "$tmp" "$@"
