#!/usr/bin/env bash
# Hostile-load benchmark of kivra-rendezvous: 100 matches register without and then under a
# flood from about a thousand lab source endpoints, as fast as this machine sends. Prints
# markdown tables; never fails a build. About 1 minute. Needs root for its private network
# and PID namespace: only lo, whose loopback range 127.0.0.0/8 holds every address, so
# every datagram stays inside and the server cannot outlive the run.
#   bench/rendezvous/run.sh [BUILD_DIR]   (default <repo>/build)
# BENCH_COMPARE=PATH also runs the same load against another kivra-rendezvous binary (an older
# build, say) and prints its tables after ours. BENCH_PIN_SERVER=1 pins the server to CPU 1
# and leaves CPU 0 to the driver (useful only on an otherwise idle machine).
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
if [[ $(id -u) -ne 0 ]]; then
    echo "run.sh: needs root (a private network namespace): run it as root" >&2
    exit 2
fi
cmake --build "$build" --target bench-rendezvous kivra-rendezvous -j2 >/dev/null

log="$(mktemp /tmp/kivra-rendezvous-bench.XXXXXX)"
trap 'rm -f "$log"' EXIT

echo "## Rendezvous server under hostile load"
echo
echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
echo "- command: bench/rendezvous/run.sh"
echo
run_bench() { # SERVER_BINARY LOG
    unshare --net --pid --fork --mount-proc bash -c '
        ip link set lo up
        exec "$0" "$1" "$2"
    ' "$build/bench/rendezvous/bench-rendezvous" "$1" "$2"
    echo
    echo "Server log: $(wc -l <"$2") lines; its last summary and suppressed lines:"
    echo
    echo '```'
    grep -E '^(summary|suppressed)' "$2" | tail -4
    echo '```'
}
echo "- load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
run_bench "$build/tools/kivra-rendezvous/kivra-rendezvous" "$log"
if [[ -n ${BENCH_COMPARE:-} ]]; then
    echo
    echo "### The same load against $BENCH_COMPARE"
    echo
    run_bench "$BENCH_COMPARE" "$log"
fi
