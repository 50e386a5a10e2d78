#!/usr/bin/env bash
# One whole online match on this machine: two players behind NAT routers in an isolated
# network-namespace lab, our rendezvous server in the lab's "internet", the emulator
# stand-in as each player's emulator. Installs what is missing, builds, runs, cleans up.
# Run it as root. Options are passed to tests/lab/run_match.sh (e.g. --loss 5, --nat-b symmetric).
# --relay shows a match that cannot work directly: both players behind NATs that map per
# destination, player 1 with the lab's TURN relay (coturn) in auto mode.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KIVRA_BUILD_DIR:-$ROOT/build}

if [[ $(id -u) -ne 0 ]]; then
  echo "demo: needs root (network and PID namespaces); run it as root" >&2
  exit 1
fi
"$ROOT/scripts/install-deps.sh" || exit 1
echo "== building in $BUILD"
# The same preset as the test command, so both can share one build directory.
(cd "$ROOT" && cmake --preset default -B "$BUILD" >/dev/null) &&
  cmake --build "$BUILD" --target kivra-netproxy kivra-rendezvous emulator-standin -j "$(nproc)" >/dev/null ||
  { echo "demo: build failed" >&2; exit 1; }

relay=0 args=()
for arg in "$@"; do
  if [[ $arg == --relay ]]; then relay=1; else args+=("$arg"); fi
done
((relay)) && args=(--nat-a symmetric --nat-b symmetric --relay-a auto "${args[@]}")

out=$(mktemp -d /tmp/kivra-demo-XXXXXX)
trap 'rm -rf "$out"' EXIT
if ((relay)); then
  echo "== running a match (about 15 s): 2 players behind NATs that map per destination," \
       "rendezvous server at 203.0.113.1:7001, TURN relay (coturn) at 203.0.113.3:3478 for player a"
else
  echo "== running a match (about 15 s): 2 players behind NAT, rendezvous server at 203.0.113.1:7001"
fi
"$ROOT/tests/lab/run_match.sh" --build "$BUILD" --out "$out" --frames 600 --exit-a 0 --exit-b 0 "${args[@]}" || exit 1

value() { awk -F= -v k="$2" '$1 == k { print $2 }' "$out/$1.report" 2>/dev/null; }
for side in a b; do
  echo "== player $side events"
  sed 's/^/   /' "$out/$side.events"
  echo "   exit code $(cat "$out/$side.rc")"
  [[ -s $out/$side.stderr ]] && sed 's/^/   stderr: /' "$out/$side.stderr"
  # The trace says whether the match went through the relay, and at which address.
  relayed_line=$(grep -m1 '^# relayed ' "$out/$side.trace" 2>/dev/null)
  [[ -n $relayed_line ]] && echo "   trace: ${relayed_line#\# }"
done
echo "== rendezvous server log"
sed 's/^/   /' "$out/server.log"

echo "== summary"
for side in a b; do
  delay_line=$(awk '$1 == "delay"' "$out/$side.events")
  if [[ -z $delay_line ]]; then
    echo "   player $side: no delay negotiated (see events above)"
    continue
  fi
  read -r _ _ delay rtt <<<"$delay_line"
  sent=$(value "$side" sent)
  other=$([[ $side == a ]] && echo b || echo a)
  received=$(value "$side" received)
  peer_sent=$(value "$other" sent)
  echo "   player $side: delay $delay, rtt ${rtt} ms, sent ${sent:-?}, received ${received:-?} of ${peer_sent:-?}" \
       "(lost $(value "$side" lost), duplicates $(value "$side" duplicates), reordered $(value "$side" reordered)," \
       "corrupted $(value "$side" corrupted))"
done
ok=1
for side in a b; do grep -q '^connected ' "$out/$side.events" || ok=0; done
if ((ok)); then echo "== match completed"; else echo "== match did not connect"; exit 1; fi
