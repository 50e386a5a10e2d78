#!/usr/bin/env bash
# Runs one whole match between two players behind NAT routers in a fresh lab, with our
# rendezvous server and the emulator stand-in, and leaves the results in --out:
#   {a,b}.events  {a,b}.stderr  {a,b}.rc  {a,b}.report  {a,b}.trace  server.log
# Needs root. Each player runs in its own network and PID namespace, so the served-mode
# pass that kills other instances never sees anything outside its own namespace.
# A player is our kivra-netproxy or the literal peer (--peer-a/--peer-b literal), a model of
# the program written to the letter of its description; it prints the same event lines but
# writes no trace. --delay-ms adds that much round trip to player a's path (kivra-delayqueue
# in router a's namespace, checked with a UDP ping before the match).
# --relay-a/--relay-b MODE gives that player the lab's TURN relay (coturn beside the server,
# started for the match unless --turn-down) in that mode: player a through its relay.conf in
# its own config directory, player b through the KIVRA_RELAY* variables.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=natlab.sh
source "$HERE/natlab.sh"

build=${KIVRA_BUILD_DIR:-$HERE/../../build}
out=""
nat_a=cone nat_b=cone loss=0 frames=300 rate=60 code_a=7 code_b=0
players=ab server=1 timeout_s=60 flush_at_ms=0 crash_a_ms=0 restart_ms=0 server_late_ms=0 start_b_ms=0 flood_s=0 flood_mode=mixed
emulator_a_override=""
late_a_ms=0 frames_b="" rate_b="" size_b=64 window_ms=0
peer_a=ours peer_b=ours delay_ms=0 start_a_ms=0
relay_a="" relay_b="" turn_down=0 turn_lifetime=0 relay_password_a="" sample_a=0
literal_peer=${KIVRA_LITERAL_PEER:-$HERE/../../../shared/peers/literal_peer.py}
usage() {
  cat >&2 <<USAGE
usage: $0 --out DIR [--build DIR] [--nat-a cone|symmetric|forwarded] [--nat-b ...]
          [--loss PCT] [--frames N] [--rate N] [--exit-a N] [--exit-b N]
          [--only-a] [--no-server] [--flush-a-after-ms MS] [--timeout S]
          [--crash-a-after-ms MS] [--restart-server-after-ms MS] [--start-b-after-ms MS]
          [--server-late-ms MS] [--emulator-a PATH]
          [--flood-a-seconds S] [--flood-mode junk|punch|mixed|probe]
          [--emulator-a-late-ms MS] [--frames-b N] [--rate-b N] [--size-b BYTES]
          [--window-a-gone-after-ms MS]
          [--peer-a ours|literal] [--peer-b ours|literal] [--delay-ms MS]
          [--start-a-after-ms MS]
          [--relay-a auto|always|never] [--relay-b ...] [--turn-down] [--turn-lifetime S]
          [--relay-password-a PASSWORD] [--sample-a]
USAGE
  exit 2
}
while (($#)); do
  case $1 in
    --out) out=$2; shift ;;
    --build) build=$2; shift ;;
    --nat-a) nat_a=$2; shift ;;
    --nat-b) nat_b=$2; shift ;;
    --loss) loss=$2; shift ;;
    --frames) frames=$2; shift ;;
    --rate) rate=$2; shift ;;
    --exit-a) code_a=$2; shift ;;
    --exit-b) code_b=$2; shift ;;
    --only-a) players=a ;;
    --no-server) server=0 ;;
    --flush-a-after-ms) flush_at_ms=$2; shift ;;
    --timeout) timeout_s=$2; shift ;;
    --crash-a-after-ms) crash_a_ms=$2; shift ;;
    --restart-server-after-ms) restart_ms=$2; shift ;;
    --server-late-ms) server_late_ms=$2; shift ;;
    --start-b-after-ms) start_b_ms=$2; shift ;;
    --flood-a-seconds) flood_s=$2; shift ;;
    --flood-mode) flood_mode=$2; shift ;;
    --emulator-a-late-ms) late_a_ms=$2; shift ;;
    --frames-b) frames_b=$2; shift ;;
    --rate-b) rate_b=$2; shift ;;
    --size-b) size_b=$2; shift ;;
    --window-a-gone-after-ms) window_ms=$2; shift ;;
    --emulator-a) emulator_a_override=$2; shift ;;
    --peer-a) peer_a=$2; shift ;;
    --peer-b) peer_b=$2; shift ;;
    --delay-ms) delay_ms=$2; shift ;;
    --start-a-after-ms) start_a_ms=$2; shift ;;
    --relay-a) relay_a=$2; shift ;;
    --relay-b) relay_b=$2; shift ;;
    --turn-down) turn_down=1 ;;
    --turn-lifetime) turn_lifetime=$2; shift ;;
    --relay-password-a) relay_password_a=$2; shift ;;
    --sample-a) sample_a=1 ;;
    *) usage ;;
  esac
  shift
done
[[ -n $out ]] || usage
[[ $peer_a == ours || $peer_a == literal ]] && [[ $peer_b == ours || $peer_b == literal ]] || usage
[[ $delay_ms =~ ^[0-9]+$ && $turn_lifetime =~ ^[0-9]+$ ]] || usage
for mode in "$relay_a" "$relay_b"; do [[ -z $mode || $mode == auto || $mode == always || $mode == never ]] || usage; done
[[ $(id -u) -eq 0 ]] || { echo "run_match: needs root (network and PID namespaces)" >&2; exit 77; }
# KIVRA_NETPROXY_BIN / KIVRA_RENDEZVOUS_BIN: other binaries (the installed packages', say);
# the emulator stand-in and the delay queue always come from the build.
netproxy=${KIVRA_NETPROXY_BIN:-$build/src/host/kivra-netproxy}
rendezvous=${KIVRA_RENDEZVOUS_BIN:-$build/tools/kivra-rendezvous/kivra-rendezvous}
standin=$build/tests/fixtures/emulator-standin
delayqueue=$build/tests/lab/kivra-delayqueue
for bin in "$netproxy" "$rendezvous" "$standin"; do
  [[ -x $bin ]] || { echo "run_match: missing $bin (build first)" >&2; exit 1; }
done
((delay_ms > 0)) && { [[ -x $delayqueue ]] || { echo "run_match: missing $delayqueue (build first)" >&2; exit 1; }; }
if [[ $peer_a == literal || $peer_b == literal ]]; then
  [[ -f $literal_peer ]] || { echo "run_match: missing the literal peer $literal_peer (set KIVRA_LITERAL_PEER)" >&2; exit 1; }
fi
mkdir -p "$out" && rm -f "$out"/*.events "$out"/*.rc "$out"/*.report "$out"/*.trace "$out"/*.stderr "$out"/server.log "$out"/server.out "$out"/lab.log "$out"/*.record "$out"/delayqueue.* &&
  rm -rf "$out"/turn "$out"/a.config "$out"/b.config

prefix="kv$$-"
# Descendants of one of our own PIDs, depth first.
descendants() { local c; for c in $(pgrep -P "$1"); do echo "$c"; descendants "$c"; done; }
pids=()
# Started and ended here by PID, so not in pids (a reaped PID must not be signalled again).
delayqueue_pid="" echo_pid=""
# The delay consumer ends on SIGTERM after releasing what it holds (and prints its summary).
stop_delayqueue() {
  [[ -n $delayqueue_pid ]] || return 0
  kill -TERM "$delayqueue_pid" 2>/dev/null
  wait "$delayqueue_pid" 2>/dev/null
  delayqueue_pid=""
}
# The rendezvous server ends with 0 on SIGTERM, so stopping it this way leaves no "Killed"
# job report in the output; SIGKILL only if it has not ended after 5 s (50 polls of 0.1 s).
# stop_server KILL ends it at once, as a crash would (the restart scenario).
stop_server() {
  local pid kept=() i signal=${1:-TERM}
  [[ -n ${server_pid:-} ]] || return 0
  kill "-$signal" "$server_pid" 2>/dev/null
  for ((i = 0; i < 50; i++)); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$server_pid" 2>/dev/null && kill -KILL "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  # Reaped: never signal it again below.
  for pid in "${pids[@]}"; do [[ $pid == "$server_pid" ]] || kept+=("$pid"); done
  pids=("${kept[@]}")
  server_pid=""
}
cleanup() {
  local pid
  stop_delayqueue
  stop_server
  lab_turn_down
  [[ -n $echo_pid ]] && { kill -KILL "$echo_pid" 2>/dev/null; wait "$echo_pid" 2>/dev/null; }
  # Our jobs and everything below them, by PID (players run in subshells).
  for pid in "${pids[@]}"; do
    kill -KILL $(descendants "$pid") "$pid" 2>/dev/null
  done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  # Anything still in the lab's namespaces now was lost track of: the run fails.
  lab_down "$prefix" || exit 1
}
trap cleanup EXIT
trap 'exit 130' INT TERM

lab_up "$prefix" "$nat_a" "$nat_b" || { echo "run_match: cannot build the lab" >&2; exit 1; }
echo "players run $netproxy, the server is $rendezvous" >>"$out/lab.log"
if ((loss > 0)); then lab_loss a "$loss" && lab_loss b "$loss" || exit 1; fi

# Added round trip on player a's path: half of it each way (every UDP packet entering router a
# from its WAN or its LAN waits delay_ms/2 in the queue). Checked with a UDP ping from a's host
# to a UDP echo on the internet side; more than 10 ms off the asked round trip ends the run.
if ((delay_ms > 0)); then
  lab_delay_queue a 0 || { echo "run_match: cannot add the delay queue rules" >&2; exit 1; }
  ip netns exec "${prefix}ra" "$delayqueue" --queue 0 --delay-ms $((delay_ms / 2)) \
    --max-seconds $((timeout_s + 60)) >"$out/delayqueue.out" 2>"$out/delayqueue.log" &
  delayqueue_pid=$!
  for _ in $(seq 50); do [[ -s $out/delayqueue.out ]] && break; sleep 0.1; done
  [[ -s $out/delayqueue.out ]] || { echo "run_match: delay queue did not start" >&2; exit 1; }
  ip netns exec "${prefix}inet" python3 "$HERE/udp_rtt.py" echo --bind "$LAB_SERVER_ADDR" --port 7999 \
    --seconds 30 >"$out/udp_echo.out" 2>&1 &
  echo_pid=$!
  for _ in $(seq 50); do [[ -s $out/udp_echo.out ]] && break; sleep 0.1; done
  rtt_line=$(ip netns exec "${prefix}ha" python3 "$HERE/udp_rtt.py" probe --target "$LAB_SERVER_ADDR" --port 7999 --count 5)
  kill -TERM "$echo_pid" 2>/dev/null; wait "$echo_pid" 2>/dev/null; echo_pid=""
  echo "added delay: asked ${delay_ms} ms round trip, $rtt_line" >>"$out/lab.log"
  measured=$(sed -n 's/.*median=\([0-9.]*\).*/\1/p' <<<"$rtt_line")
  awk -v m="${measured:--1000}" -v d="$delay_ms" 'BEGIN { exit !(m >= d - 10 && m <= d + 10) }' ||
    { echo "run_match: added delay check failed ($rtt_line, asked $delay_ms ms)" >&2; exit 1; }
fi

# The relay: coturn for any player given one (unless the scenario wants it down).
if [[ -n $relay_a$relay_b ]] && ((!turn_down)); then
  mkdir -p "$out/turn"
  lab_turn_up "$out/turn" "$turn_lifetime" || { echo "run_match: cannot start coturn" >&2; exit 1; }
  echo "coturn at $LAB_TURN_ADDR:$LAB_TURN_PORT (alternate $((LAB_TURN_PORT + 1))), lifetimes ${turn_lifetime:-default} s" >>"$out/lab.log"
fi
# Each player's own config directory, so that no relay.conf of this machine's user is read.
mkdir -p "$out/a.config" "$out/b.config"
if [[ -n $relay_a ]]; then
  mkdir -p "$out/a.config/Sarnolix"
  cat >"$out/a.config/Sarnolix/relay.conf" <<CONF
# The lab's relay, as a player writes it.
server = $LAB_TURN_ADDR:$LAB_TURN_PORT
user = $LAB_TURN_USER
password = ${relay_password_a:-$LAB_TURN_PASSWORD}
mode = $relay_a
CONF
fi
relay_env_b=()
[[ -n $relay_b ]] && relay_env_b=(KIVRA_RELAY="$LAB_TURN_ADDR" KIVRA_RELAY_USER="$LAB_TURN_USER"
  KIVRA_RELAY_PASSWORD="$LAB_TURN_PASSWORD" KIVRA_RELAY_MODE="$relay_b")

server_pid=""
start_server() {
  : >"$out/server.out"
  ip netns exec "${prefix}inet" "$rendezvous" --bind "$LAB_SERVER_ADDR" --port "$LAB_SERVER_PORT" \
    >"$out/server.out" 2>>"$out/server.log" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 50); do [[ -s $out/server.out ]] && break; sleep 0.1; done
  [[ -s $out/server.out ]] || { echo "run_match: rendezvous server did not start" >&2; exit 1; }
}
((server && server_late_ms == 0)) && start_server
sleep_ms() { sleep "$(awk "BEGIN{print $1/1000}")"; }

match="lab-1234"
# Player a's emulator can start late (it sends its first datagram only after MS), which
# keeps a's relay in its start-up phase while b already sends.
emulator_a=$standin
if ((late_a_ms > 0)); then
  emulator_a=$out/late-emulator.sh
  printf '#!/bin/sh\nsleep %s\nexec "%s" "$@"\n' "$(awk "BEGIN{print $late_a_ms/1000}")" "$standin" >"$emulator_a"
  chmod +x "$emulator_a"
fi
[[ -n $emulator_a_override ]] && emulator_a=$emulator_a_override
# Player a's front-end window: an xmessage window on a private Xvfb (its unix socket works
# across network namespaces), closed later to end the match from the front-end's side.
window_args_a=() display_a=""
if ((window_ms > 0)); then
  ip netns exec "${prefix}ha" Xvfb -displayfd 1 -nolisten tcp -nolisten local -screen 0 320x240x24 \
    >"$out/xvfb.display" 2>"$out/xvfb.log" &
  pids+=($!)
  for _ in $(seq 100); do [[ -s $out/xvfb.display ]] && break; sleep 0.1; done
  display_a=:$(head -n1 "$out/xvfb.display")
  [[ $display_a != : ]] || { echo "run_match: Xvfb did not start" >&2; exit 1; }
  # A loaded machine can take its time mapping the window, or lose the first client: wait up
  # to 30 s (300 polls) and start xmessage again if it ended, at most 3 times.
  start_window() {
    DISPLAY=$display_a xmessage -title kivra-frontend "front-end" >/dev/null 2>>"$out/xmessage.log" &
    window_pid=$!
    pids+=("$window_pid")
  }
  start_window
  window_id="" window_starts=1
  for _ in $(seq 300); do
    window_id=$(DISPLAY=$display_a xwininfo -root -tree 2>/dev/null | awk '/"kivra-frontend"/ { print $1; exit }')
    [[ -n $window_id ]] && break
    if ! kill -0 "$window_pid" 2>/dev/null && ((window_starts < 3)); then
      start_window
      window_starts=$((window_starts + 1))
    fi
    sleep 0.1
  done
  [[ -n $window_id ]] || {
    echo "run_match: front-end window did not appear ($window_starts xmessage starts)" >&2
    cat "$out/xvfb.log" "$out/xmessage.log" >&2 2>/dev/null
    exit 1
  }
  window_args_a=(--parent-hwnd "$window_id")
  echo "front-end window $window_id on $display_a" >>"$out/lab.log"
fi
player() { # side ns exit-code emulator frames rate size ours|literal
  local side=$1 ns=$2 code=$3 emulator=$4 frames=$5 rate=$6 size=$7 kind=$8
  local command="kivra-net:served,g,$match.$side,x,,$LAB_SERVER_ADDR,$LAB_SERVER_PORT,,"
  local extra=() display="" relay_env=()
  [[ $side == 1 ]] && extra=("${window_args_a[@]}") && display=$display_a
  [[ $side == 2 ]] && relay_env=("${relay_env_b[@]}")
  local program=("$netproxy")
  # The literal peer ends by itself (exit 9) a little before our hard kill.
  [[ $kind == literal ]] && program=(env REFPEER_MAX_S=$((timeout_s > 5 ? timeout_s - 3 : timeout_s)) python3 "$literal_peer")
  timeout -s KILL "$timeout_s" ip netns exec "${prefix}h$ns" \
    unshare --pid --fork --mount-proc --kill-child \
    env KIVRA_STANDIN_FRAMES="$frames" KIVRA_STANDIN_RATE="$rate" KIVRA_STANDIN_EXIT_CODE="$code" \
    KIVRA_STANDIN_SIZE="$size" KIVRA_STANDIN_RECORD="$out/$ns.record" DISPLAY="$display" \
    KIVRA_STANDIN_REPORT="$out/$ns.report" KIVRA_NET_TRACE="$out/$ns.trace" \
    XDG_CONFIG_HOME="$out/$ns.config" "${relay_env[@]}" \
    "${program[@]}" --emulator "$emulator" --command "$command" "${extra[@]}" \
    >"$out/$ns.events" 2>"$out/$ns.stderr"
  echo $? >"$out/$ns.rc"
}

start_flood() {
  # A third host on player a's LAN (192.168.1.3) floods a's peer-facing ports from the start.
  ip -n "${prefix}ha" addr add 192.168.1.3/24 dev eth0 || exit 1
  ip netns exec "${prefix}ha" python3 "$HERE/flood.py" --bind 192.168.1.3 --target 192.168.1.2 \
    --ports 6006,6004,41234 --seconds "$flood_s" --rate 2000 --mode "$flood_mode" >>"$out/lab.log" 2>&1 &
  pids+=($!)
}
start_b() {
  player 2 b "$code_b" "$standin" "${frames_b:-$frames}" "${rate_b:-$rate}" "$size_b" "$peer_b" &
  pids+=($!)
  pid_b=$!
}
# Player b first: b registers first, so the server announces to b first and b's first punch
# is the one a's router drops; a then connects first (its peer evaluates the delay later).
# The flood then starts before a, so that it covers a's punching, which begins at once.
if [[ $players == ab ]] && ((start_a_ms > 0)); then
  start_b
  ((flood_s > 0)) && start_flood
  sleep_ms "$start_a_ms"
fi
player 1 a "$code_a" "$emulator_a" "$frames" "$rate" 64 "$peer_a" &
pids+=($!)
pid_a=$!

((flood_s > 0 && start_a_ms == 0)) && start_flood
# Largest resident size, thread count and CPU time (utime + stime, clock ticks) of player a's
# kivra-netproxy, sampled every 200 ms (--sample-a asks for it in any run).
if ((flood_s > 0 || late_a_ms > 0 || sample_a)); then
  (
    real_netproxy=$(readlink -f "$netproxy") max=0 threads=0 cpu=0
    for _ in $(seq $((timeout_s * 5))); do
      kill -0 "$pid_a" 2>/dev/null || break
      for pid in $(descendants "$pid_a"); do
        [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == "$real_netproxy" ]] || continue
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
        [[ -n $rss ]] && ((rss > max)) && max=$rss
        n=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
        [[ -n $n ]] && ((n > threads)) && threads=$n
        # Fields 14 and 15 of stat, counted after the command name's closing parenthesis.
        t=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | awk '{ print $12 + $13 }')
        [[ -n $t ]] && ((t > cpu)) && cpu=$t
      done
      sleep 0.2
    done
    echo "netproxy a max_rss_kb=$max" >>"$out/lab.log"
    echo "netproxy a max_threads=$threads" >>"$out/lab.log"
    echo "netproxy a cpu_ticks=$cpu" >>"$out/lab.log"
  ) &
  pids+=($!)
  sampler=$!
fi
if ((restart_ms > 0)); then
  sleep_ms "$restart_ms"
  stop_server KILL 2>/dev/null
  echo "rendezvous server killed and restarted at ${restart_ms} ms" >>"$out/lab.log"
  start_server
fi
if ((server && server_late_ms > 0)); then
  sleep_ms "$server_late_ms"
  echo "rendezvous server started at ${server_late_ms} ms" >>"$out/lab.log"
  start_server
fi
if [[ $players == ab ]] && ((start_a_ms == 0)); then
  ((start_b_ms > 0)) && sleep_ms "$start_b_ms"
  start_b
fi

if ((crash_a_ms > 0)); then
  sleep_ms "$crash_a_ms"
  # The emulator is the stand-in below player a's kivra-netproxy, a descendant of our job.
  emulator=""
  for pid in $(descendants "$pid_a"); do
    [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == "$(readlink -f "$standin")" ]] && emulator=$pid
  done
  if [[ -n $emulator ]]; then
    kill -SEGV "$emulator"
    echo "player a emulator (pid $emulator) sent SIGSEGV at ${crash_a_ms} ms" >>"$out/lab.log"
  else
    echo "player a emulator not running at ${crash_a_ms} ms" >>"$out/lab.log"
  fi
fi

if ((window_ms > 0)); then
  sleep_ms "$window_ms"
  kill -TERM "$window_pid"
  echo "front-end window closed at ${window_ms} ms" >>"$out/lab.log"
fi

if ((flush_at_ms > 0)); then
  sleep_ms "$flush_at_ms"
  lab_remap_nat a
  echo "router a NAT flushed and remapped to 30000-39999 at ${flush_at_ms} ms" >>"$out/lab.log"
fi

wait "$pid_a"
[[ $players == ab ]] && wait "$pid_b"
[[ -n ${sampler:-} ]] && wait "$sampler"
if ((delay_ms > 0)); then
  stop_delayqueue
  cat "$out/delayqueue.log" >>"$out/lab.log"
fi
exit 0
