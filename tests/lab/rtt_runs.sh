#!/usr/bin/env bash
# Round trip and delay figures over many lab matches (not a ctest entry: it takes minutes and
# reports figures, it asserts nothing). Usage: rtt_runs.sh BUILD_DIR [N] (N matches per set-up,
# default 10). Needs root.
#
# Set-ups: ours vs ours on the LAN-like lab, ours vs the literal peer in both roles, and the
# same with 100 ms of round trip added on player a's path. Per run it prints both sides'
# "delay" line and our side's rtt; then per set-up how many runs met the target:
#   no added delay: both sides settled delay 1 and our rtt (every side that runs our binary) <= 20 ms
#   +100 ms:        both sides settled delay 2 and our rtt in 95..140 ms
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: rtt_runs.sh BUILD_DIR [N]}
runs=${2:-10}
[[ $runs =~ ^[0-9]+$ ]] && ((runs >= 1 && runs <= 100)) || { echo "rtt_runs: N must be 1..100" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "rtt_runs: needs root" >&2; exit 2; }
out=$(mktemp -d /tmp/kivra-rtt-XXXXXX)
trap 'rm -rf "$out"' EXIT

# name peer-a peer-b delay-ms
setups=(
  "ours-ours ours ours 0"
  "ours-literal ours literal 0"
  "literal-ours literal ours 0"
  "ours-ours+100ms ours ours 100"
  "ours-literal+100ms ours literal 100"
  "literal-ours+100ms literal ours 100"
)
delay_line() { grep -m1 '^delay ' "$out/$1.events" 2>/dev/null || echo "(no delay line: $(head -n1 "$out/$1.events" 2>/dev/null))"; }
field() { awk -v n="$2" '$1 == "delay" { print $n; exit }' "$out/$1.events" 2>/dev/null; }

summary=()
for setup in "${setups[@]}"; do
  read -r name peer_a peer_b delay_ms <<<"$setup"
  met=0
  for run in $(seq "$runs"); do
    "$HERE/run_match.sh" --build "$build" --out "$out" --peer-a "$peer_a" --peer-b "$peer_b" \
      --delay-ms "$delay_ms" --frames 120 --exit-a 0 --exit-b 0 >/dev/null 2>"$out/run.err" ||
      { echo "$name run $run: run_match failed: $(tail -n1 "$out/run.err")"; continue; }
    ours=()
    [[ $peer_a == ours ]] && ours+=("$(field a 4)")
    [[ $peer_b == ours ]] && ours+=("$(field b 4)")
    want_delay=1 low=0 high=20
    ((delay_ms > 0)) && want_delay=2 low=95 high=140
    ok=1
    [[ $(field a 3) == "$want_delay" && $(field b 3) == "$want_delay" ]] || ok=0
    for rtt in "${ours[@]}"; do
      [[ $rtt =~ ^-?[0-9]+$ ]] && ((rtt >= low && rtt <= high)) || ok=0
    done
    ((met += ok))
    echo "$name run $run: a: $(delay_line a) | b: $(delay_line b) | our rtt ${ours[*]} ms | $( ((ok)) && echo met || echo missed)"
  done
  if ((delay_ms > 0)); then
    summary+=("$name: $met of $runs runs both settled delay 2 with our rtt in 95..140 ms")
  else
    summary+=("$name: $met of $runs runs both settled delay 1 with our rtt <= 20 ms")
  fi
done
echo "summary:"
printf '  %s\n' "${summary[@]}"
