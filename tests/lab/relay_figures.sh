#!/usr/bin/env bash
# Figures of the TURN relay in the NAT lab (not a test; run as root): usage relay_figures.sh BUILD_DIR
#  1. added one-way latency through the lab's coturn: turn_rtt.py from player a's host to a UDP
#     echo beside the rendezvous server, directly and through an allocation (p50, p99);
#  2. the connectivity matrix cone / symmetric / symmetric+relay against each other;
#  3. time from launch to "connected" (the first ping in the trace), relayed and direct;
#  4. player a's kivra-netproxy CPU per datagram over a 30 s match, relayed and direct, and
#     their ratio (both measured in this run).
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
build=${1:?build dir}
[[ $(id -u) -eq 0 ]] || { echo "relay_figures: needs root" >&2; exit 1; }
# shellcheck source=natlab.sh
source "$HERE/natlab.sh"
work=$(mktemp -d /tmp/kivra-relayfig-XXXXXX)
echo_pid=""
cleanup() {
  [[ -n $echo_pid ]] && { kill -TERM "$echo_pid" 2>/dev/null; wait "$echo_pid" 2>/dev/null; }
  lab_turn_down
  lab_down "kvrf$$-"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== 1. added one-way latency through the lab relay"
lab_up "kvrf$$-" cone cone || exit 1
lab_turn_up "$work" || exit 1
ip netns exec "kvrf$$-inet" python3 "$HERE/udp_rtt.py" echo --bind "$LAB_SERVER_ADDR" --port 7999 --seconds 120 \
  >"$work/echo.out" 2>&1 &
echo_pid=$!
for _ in $(seq 50); do [[ -s $work/echo.out ]] && break; sleep 0.1; done
ip netns exec "kvrf$$-ha" python3 "$HERE/turn_rtt.py" --relay "$LAB_TURN_ADDR:$LAB_TURN_PORT" \
  --user "$LAB_TURN_USER" --password "$LAB_TURN_PASSWORD" --target "$LAB_SERVER_ADDR" --port 7999 \
  --count 2000 --gap-ms 2 | sed 's/^/   /'
kill -TERM "$echo_pid" 2>/dev/null; wait "$echo_pid" 2>/dev/null; echo_pid=""
lab_turn_down
lab_down "kvrf$$-"

# One match: side kinds are cone, symmetric or relay (symmetric NAT with the relay in auto mode).
match() { # name kind-a kind-b frames [extra...]
  local name=$1 a=$2 b=$3 frames=$4 args=()
  shift 4
  [[ $a == relay ]] && args+=(--nat-a symmetric --relay-a auto) || args+=(--nat-a "$a")
  [[ $b == relay ]] && args+=(--nat-b symmetric --relay-b auto) || args+=(--nat-b "$b")
  "$HERE/run_match.sh" --build "$build" --out "$work/$name" --frames "$frames" --exit-a 0 --exit-b 0 \
    "${args[@]}" "$@" >"$work/$name.log" 2>&1
}
connected() { grep -q '^connected ' "$work/$1/a.events" && grep -q '^connected ' "$work/$1/b.events"; }
clean() { # every datagram once, in order, intact, both ways
  local side
  for side in a b; do
    awk -F= -v n="$2" '$1=="received"{r=$2} $1=="lost"{l=$2} $1=="duplicates"{d=$2} $1=="reordered"{o=$2}
      $1=="corrupted"{c=$2} END { exit !(r==n && l==0 && d==0 && o==0 && c==0) }' "$work/$1/$side.report" || return 1
  done
}
# Launch to the first ping (the probe starts when punching succeeds), in ms, from the trace.
connect_ms() {
  awk '/^# clock/ { mono = $6 } /^[0-9]/ && $2 == "o" && $4 ~ /^4b56524120/ { print int(($1 - mono) / 1000); exit }' \
    "$work/$1/$2.trace"
}

echo "== 2. connectivity matrix (side 1 rows, side 2 columns; 300 frames each way)"
kinds=(cone symmetric relay)
printf '   %-10s' ""; for b in "${kinds[@]}"; do printf '%-26s' "$b"; done; echo
for a in "${kinds[@]}"; do
  printf '   %-10s' "$a"
  for b in "${kinds[@]}"; do
    name="m-$a-$b"
    match "$name" "$a" "$b" 300
    if connected "$name"; then
      cell="connected"
      clean "$name" 300 && cell+=", all 300 intact" || cell+=", losses"
    else
      cell="no"
    fi
    printf '%-26s' "$cell"
  done
  echo
done

echo "== 3. time from launch to connected (side 1, from its trace)"
for pair in "cone cone" "relay cone" "relay relay"; do
  read -r a b <<<"$pair"
  echo "   side 1 $a vs side 2 $b: $(connect_ms "m-$a-$b" a) ms"
done

echo "== 4. player a's proxy CPU per datagram over 1800 frames each way (60 Hz, 30 s)"
hz=$(getconf CLK_TCK)
for kind in cone relay; do
  match "cpu-$kind" "$kind" cone 1800 --sample-a --timeout 75
  ticks=$(sed -n 's/^netproxy a cpu_ticks=//p' "$work/cpu-$kind/lab.log")
  awk -v t="${ticks:-0}" -v hz="$hz" -v n=3600 -v k="$kind" \
    'BEGIN { printf "   %-6s cpu %.0f ms, %.1f us per datagram (sent + received)\n", k, t * 1000 / hz, t * 1e6 / hz / n }'
  echo "$ticks" >"$work/cpu-$kind.ticks"
done
awk -v d="$(cat "$work/cpu-cone.ticks")" -v r="$(cat "$work/cpu-relay.ticks")" \
  'BEGIN { if (d > 0) printf "   relayed / direct CPU per datagram: %.2fx\n", r / d }'
