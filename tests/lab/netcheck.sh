#!/usr/bin/env bash
# kivra-netcheck in the NAT lab (natlab.sh), through the real tools: our rendezvous server on
# two ports in the lab's internet, the check on player a's host behind router a.
#
# Usage: netcheck.sh SCENARIO BUILD_DIR   (root; exit 77 when namespaces cannot be made,
#                                          a failure under CI=true)
#   cone         cone router: "endpoint-independent", port 6006 kept
#   symmetric    symmetric router: "endpoint-dependent"
#   upnp         miniupnpd on a cone router: found, its WAN service and external address
#   second_nat   the same router, but its traffic leaves from another address than the one
#                it reports: a second NAT in front of it
#   no_router    no UPnP gateway: found false within the discovery time
#   server_down  no rendezvous server: exit 1 within the bound
#   relay_symmetric       symmetric router, coturn beside the server and a relay.conf for it:
#                         the relay works (allocated at coturn's relay address, released), and
#                         the verdict says the player can play everyone
#   relay_bad_credentials the same with a wrong password in KIVRA_RELAY_PASSWORD: the relay
#                         does not work, and the verdict names the server and the 401; a
#                         broken relay.conf is said on stderr and the check runs without one
#   relay_down            a relay configured where nothing answers: a timeout within 1.5 s
#   leftovers    the lab's own check: a process it lost track of (started from a backgrounded
#                shell function) is found in the lab's namespaces, reported and ended
#   demo         prints the tool's output for each lab NAT kind (cone, symmetric, forwarded,
#                upnp, second_nat) and for a symmetric one with coturn as its relay (working,
#                then with a wrong password); checks nothing
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=natlab.sh
source "$HERE/natlab.sh"

scenario=${1:-}
build=${2:-}
[[ -n $scenario && -n $build ]] || { echo "usage: $0 SCENARIO BUILD_DIR" >&2; exit 2; }
netcheck=$build/tools/kivra-netcheck/kivra-netcheck
rendezvous=$build/tools/kivra-rendezvous/kivra-rendezvous
for bin in "$netcheck" "$rendezvous"; do
  [[ -x $bin ]] || { echo "netcheck lab: missing $bin (build first)" >&2; exit 1; }
done

skip_or_fail() {
  echo "NETCHECK LAB SKIPPED: $*" >&2
  [[ ${CI:-} == true ]] && exit 1
  exit 77
}
[[ $(id -u) -eq 0 ]] || skip_or_fail "needs root for network namespaces"
for tool in ip nft; do command -v "$tool" >/dev/null || skip_or_fail "missing $tool"; done

# Second port of the lab's rendezvous server: one address, two ports, one table.
SECOND_PORT=7002
# Router a's WAN side for the UPnP scenarios: miniupnpd refuses every private, shared and
# documentation range, so it gets an address outside them; it exists only inside the lab.
UPNP_SERVER_ADDR=11.201.0.1
UPNP_ROUTER_ADDR=11.201.0.10
UPNP_OTHER_ADDR=11.201.0.11
UPNP_HTTP_PORT=5555
# The tool promises to be done within 15 s; the lab adds a little process start-up (ms).
BOUND_MS=15500
# UPnP discovery waits 2.5 s for an answer; start-up and the signalling add a little (ms).
DISCOVERY_BOUND_MS=4000
# The relay client gives up on a silent relay after 1 s; process start-up adds a little (ms).
RELAY_GIVE_UP_BOUND_MS=1500

out=$(mktemp -d /tmp/kivra-netcheck-lab-XXXXXX)
# Every process started here, by the PID that is the process itself (never a subshell's).
pids=()
prefix=""
# Ends what this run started; false when a process was left in the lab's namespaces.
cleanup() {
  local ok=0
  lab_stop_pids "${pids[@]}"
  pids=()
  lab_turn_down
  if [[ -n $prefix ]]; then lab_down "$prefix" || ok=1; fi
  prefix=""
  return $ok
}
trap 'rc=$?; cleanup || rc=1; rm -rf "$out"; exit $rc' EXIT
trap 'exit 130' INT TERM

failures=0
check() { # description command...
  if "${@:2}"; then echo "ok   - $1"; else echo "FAIL - $1"; failures=$((failures + 1)); fi
}

# new_lab NAT_A: a fresh lab, router a of that kind (b is unused).
new_lab() {
  cleanup
  prefix="kvnc$$-$RANDOM-"
  if ! lab_up "$prefix" "$1" cone 2>"$out/lab.log"; then
    cat "$out/lab.log" >&2
    lab_down "$prefix"
    prefix=""
    skip_or_fail "cannot make the lab's namespaces"
  fi
}

# start_server ADDR: our rendezvous server on ports 7001 and 7002 in the lab's internet.
# Started directly (ip netns exec becomes the server), not through a shell function: a
# backgrounded function is a subshell, and its $! is not the server.
start_server() {
  : >"$out/server.out"
  ip netns exec "${prefix}inet" "$rendezvous" --bind "$1" --port "$LAB_SERVER_PORT" --port "$SECOND_PORT" \
    >"$out/server.out" 2>"$out/server.log" &
  pids+=($!)
  local _
  for _ in $(seq 50); do [[ -s $out/server.out ]] && break; sleep 0.1; done
  grep -qx "listening $1 $LAB_SERVER_PORT $SECOND_PORT" "$out/server.out" ||
    { echo "netcheck lab: rendezvous server did not start" >&2; cat "$out/server.log" >&2; exit 1; }
}

# Router a's WAN moves to UPNP_ROUTER_ADDR and the server gets UPNP_SERVER_ADDR beside the
# lab's own; then miniupnpd runs on router a. With "snat_other", router a's traffic leaves
# from UPNP_OTHER_ADDR while miniupnpd reports UPNP_ROUTER_ADDR: what a second NAT in front
# of the router looks like from both ends.
start_upnp_router() {
  local mode=${1:-}
  lab_exec ra ip addr flush dev wan || return 1
  lab_exec ra ip addr add "$UPNP_ROUTER_ADDR/24" dev wan || return 1
  lab_exec inet ip addr add "$UPNP_SERVER_ADDR/24" dev br0 || return 1
  if [[ $mode == snat_other ]]; then
    lab_exec ra ip addr add "$UPNP_OTHER_ADDR/24" dev wan || return 1
    lab_exec ra nft flush chain ip nat post || return 1
    lab_exec ra nft add rule ip nat post oifname wan snat to "$UPNP_OTHER_ADDR" || return 1
  fi
  # The tables and chains miniupnpd fills (Debian's nft_init.sh does not work here); the
  # lab's home firewall still decides what enters.
  lab_exec ra nft -f - <<'NFT' || return 1
table inet filter {
  chain miniupnpd { }
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
}
NFT
  cat >"$out/miniupnpd.conf" <<CONF
ext_ifname=wan
listening_ip=lan
http_port=$UPNP_HTTP_PORT
enable_natpmp=no
enable_upnp=yes
secure_mode=yes
system_uptime=yes
notify_interval=60
lease_file=$out/upnp.leases
uuid=6b1d0c2e-4f3a-4e5b-8c7d-1e2f3a4b5c6d
upnp_table_name=filter
upnp_nat_table_name=filter
upnp_forward_chain=miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
allow 1024-65535 192.168.1.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  # Started directly so that $! is the daemon; its own pid file keeps it clear of others.
  ip netns exec "${prefix}ra" miniupnpd -f "$out/miniupnpd.conf" -P "$out/miniupnpd.pid" -d \
    >"$out/miniupnpd.log" 2>&1 &
  pids+=($!)
  local _
  for _ in $(seq 50); do
    lab_exec ra ss -ltn 2>/dev/null | grep -q ":$UPNP_HTTP_PORT " && return 0
    sleep 0.1
  done
  return 1
}

# relay_conf [PASSWORD]: player a's relay.conf, for coturn in the lab (mode auto), in its own
# config directory; run_check_relay passes it through XDG_CONFIG_HOME.
relay_conf() {
  mkdir -p "$out/config/Sarnolix"
  printf 'server = %s:%s\nuser = %s\npassword = %s\nmode = auto\n' \
    "$LAB_TURN_ADDR" "$LAB_TURN_PORT" "$LAB_TURN_USER" "${1:-$LAB_TURN_PASSWORD}" >"$out/config/Sarnolix/relay.conf"
}
# run_check_relay [VAR=VALUE...] -- ARGS...: kivra-netcheck on player a's host, with player
# a's config directory and only the given relay variables (none of the caller's own, so a relay
# the machine's user has set up never takes part); output in $out/check.{out,err,rc,ms}.
run_check_relay() {
  local vars=()
  while [[ $1 != -- ]]; do vars+=("$1"); shift; done
  shift
  local started
  started=$(date +%s%3N)
  lab_exec ha env -u KIVRA_RELAY -u KIVRA_RELAY_USER -u KIVRA_RELAY_PASSWORD -u KIVRA_RELAY_MODE \
    XDG_CONFIG_HOME="$out/config" "${vars[@]}" "$netcheck" "$@" >"$out/check.out" 2>"$out/check.err"
  echo $? >"$out/check.rc"
  echo $(($(date +%s%3N) - started)) >"$out/check.ms"
}
# run_check ARGS...: the same without a relay (unless relay_conf wrote one).
run_check() { run_check_relay -- "$@"; }
# turn_up: coturn beside the server (natlab.sh), its files in $out/turn.
turn_up() {
  command -v turnserver >/dev/null || skip_or_fail "missing turnserver (coturn)"
  mkdir -p "$out/turn"
  lab_turn_up "$out/turn" || { echo "netcheck lab: coturn did not start" >&2; show; exit 1; }
}
# released: coturn no longer holds the allocated relay port. Unreleased, an allocation keeps
# its port for its lifetime (600 s); released, coturn closes it at once.
released() {
  local port _
  port=$(json "j['relay']['allocated'].rsplit(':', 1)[1]") || return 1
  for _ in $(seq 20); do
    [[ -z $(lab_exec inet ss -Hlun "src $LAB_TURN_ADDR:$port") ]] && return 0
    sleep 0.1
  done
  return 1
}

# json EXPR: a Python expression over the parsed object j, printed.
json() { python3 -c "import json,sys; j=json.load(open(sys.argv[1])); print($1)" "$out/check.out"; }
json_is() { [[ $(json "$1") == "$2" ]]; }
# ended PID: that process is gone (or only waits to be reaped); a killed one may take a moment.
ended() {
  local _
  for _ in $(seq 20); do
    [[ ! -e /proc/$1 || $(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) == Z ]] && return 0
    sleep 0.1
  done
  return 1
}
rc_is() { [[ $(cat "$out/check.rc") == "$1" ]]; }
took_at_most() { (($(cat "$out/check.ms") <= $1)); }
show() {
  local f
  for f in check.out check.err check.rc check.ms server.log miniupnpd.log turn/turnserver.log; do
    [[ -f $out/$f ]] && { echo "--- $f"; cat "$out/$f"; }
  done
}

# A plain-text run for the demo.
demo_kind() { # title NAT [upnp|second_nat]
  echo "=== $1 ==="
  new_lab "$2"
  local server=$LAB_SERVER_ADDR
  if [[ -n ${3:-} ]]; then
    command -v miniupnpd >/dev/null || { echo "(miniupnpd is not installed)"; return 0; }
    local mode=""
    [[ $3 == second_nat ]] && mode=snat_other
    start_upnp_router "$mode" || { echo "(miniupnpd did not start)"; return 0; }
    server=$UPNP_SERVER_ADDR
  fi
  start_server "$server"
  echo "\$ kivra-netcheck --server $server --second-port $SECOND_PORT"
  run_check --server "$server" --second-port "$SECOND_PORT"
  cat "$out/check.out" "$out/check.err"
  echo "(exit $(cat "$out/check.rc") after $(cat "$out/check.ms") ms)"
  echo
}

# A plain-text run with coturn as player a's relay, behind a symmetric router.
demo_relay() { # title [PASSWORD]
  echo "=== $1 ==="
  command -v turnserver >/dev/null || { echo "(coturn is not installed)"; return 0; }
  new_lab symmetric
  start_server "$LAB_SERVER_ADDR"
  mkdir -p "$out/turn"
  lab_turn_up "$out/turn" || { echo "(coturn did not start)"; return 0; }
  relay_conf "${2:-}"
  echo "\$ cat ~/.config/Sarnolix/relay.conf"
  sed 's/^password = .*/password = .../' "$out/config/Sarnolix/relay.conf"
  echo "\$ kivra-netcheck --server $LAB_SERVER_ADDR --second-port $SECOND_PORT"
  run_check_relay -- --server "$LAB_SERVER_ADDR" --second-port "$SECOND_PORT"
  cat "$out/check.out" "$out/check.err"
  echo "(exit $(cat "$out/check.rc") after $(cat "$out/check.ms") ms)"
  echo
}

case $scenario in
  cone)
    new_lab cone
    start_server "$LAB_SERVER_ADDR"
    run_check --server "$LAB_SERVER_ADDR" --second-port "$SECOND_PORT" --json
    check "exit 0" rc_is 0
    check "the public address is router a's" json_is "j['public_address']" 203.0.113.10
    check "port 6006 kept" json_is "j['port_preserved']" True
    check "the mapping is endpoint-independent" json_is "j['mapping']" endpoint-independent
    check "the verdict names a cone NAT keeping 6006" json_is "j['verdict'].startswith('cone NAT that keeps port 6006')" True
    ;;
  symmetric)
    new_lab symmetric
    start_server "$LAB_SERVER_ADDR"
    run_check --server "$LAB_SERVER_ADDR" --second-port "$SECOND_PORT" --json
    check "exit 0" rc_is 0
    check "the public address is router a's" json_is "j['public_address']" 203.0.113.10
    check "the mapping is endpoint-dependent" json_is "j['mapping']" endpoint-dependent
    check "the verdict names a symmetric NAT" json_is "j['verdict'].startswith('symmetric NAT')" True
    ;;
  upnp | second_nat)
    command -v miniupnpd >/dev/null || skip_or_fail "missing miniupnpd"
    new_lab cone
    mode=""
    [[ $scenario == second_nat ]] && mode=snat_other
    start_upnp_router "$mode" || { echo "netcheck lab: miniupnpd did not start" >&2; show; exit 1; }
    start_server "$UPNP_SERVER_ADDR"
    run_check --server "$UPNP_SERVER_ADDR" --second-port "$SECOND_PORT" --json
    check "exit 0" rc_is 0
    check "a gateway is found" json_is "j['upnp']['found']" True
    check "its WAN IP connection service is named" \
      json_is "j['upnp']['service_type'].startswith('urn:schemas-upnp-org:service:WANIPConnection:')" True
    check "its external address is router a's WAN address" json_is "j['upnp']['external_address']" "$UPNP_ROUTER_ADDR"
    if [[ $scenario == upnp ]]; then
      check "the server saw the same address" json_is "j['public_address']" "$UPNP_ROUTER_ADDR"
      check "no second NAT" json_is "j['upnp']['second_nat']" False
      check "the verdict says the forward helps" json_is "'lets players behind symmetric NATs reach you' in j['verdict']" True
    else
      check "the server saw another address" json_is "j['public_address']" "$UPNP_OTHER_ADDR"
      check "a second NAT is reported" json_is "j['upnp']['second_nat']" True
      check "the verdict names the second NAT" json_is "'second NAT in front of your router' in j['verdict']" True
    fi
    check "done within the bound" took_at_most "$BOUND_MS"
    ;;
  no_router)
    new_lab cone
    start_server "$LAB_SERVER_ADDR"
    run_check --server "$LAB_SERVER_ADDR" --json
    check "exit 0" rc_is 0
    check "no gateway found" json_is "j['upnp']['found']" False
    check "the mapping is unknown without a second destination" json_is "j['mapping']" unknown
    check "done within the discovery time" took_at_most "$DISCOVERY_BOUND_MS"
    ;;
  server_down)
    new_lab cone
    run_check --server "$LAB_SERVER_ADDR" --second-port "$SECOND_PORT"
    check "exit 1" rc_is 1
    check "the message names the server" grep -q "no answer from the rendezvous server $LAB_SERVER_ADDR:$LAB_SERVER_PORT" "$out/check.err"
    check "done within the bound" took_at_most "$BOUND_MS"
    ;;
  relay_symmetric)
    new_lab symmetric
    start_server "$LAB_SERVER_ADDR"
    turn_up
    relay_conf
    run_check_relay -- --server "$LAB_SERVER_ADDR" --second-port "$SECOND_PORT" --json
    check "exit 0" rc_is 0
    check "the mapping is endpoint-dependent" json_is "j['mapping']" endpoint-dependent
    check "the relay from relay.conf is asked" json_is "(j['relay']['server'], j['relay']['mode'], j['relay']['checked'])" \
      "('$LAB_TURN_ADDR:$LAB_TURN_PORT', 'auto', True)"
    check "the relay works" json_is "j['relay']['works']" True
    check "allocated at coturn's relay address" json_is "j['relay']['allocated'].startswith('$LAB_TURN_ADDR:')" True
    check "the allocation took under 1 s" json_is "0 <= j['relay']['elapsed_ms'] < 1000" True
    check "the verdict says everyone" \
      json_is "j['verdict'].startswith('symmetric NAT: with your working relay $LAB_TURN_ADDR:$LAB_TURN_PORT you can play everyone')" True
    check "the allocation was released" released
    check "nothing said on stderr" test ! -s "$out/check.err"
    check "done within the bound" took_at_most "$BOUND_MS"
    ;;
  relay_bad_credentials)
    new_lab symmetric
    start_server "$LAB_SERVER_ADDR"
    turn_up
    relay_conf
    # The variable over the file, as for the proxy.
    run_check_relay KIVRA_RELAY_PASSWORD=wrong -- --server "$LAB_SERVER_ADDR" --second-port "$SECOND_PORT" --json
    check "exit 0" rc_is 0
    check "the relay does not work" json_is "j['relay']['works']" False
    check "coturn refused the credentials" json_is "j['relay']['failure']" "401 bad credentials"
    check "the verdict says why, naming the server" \
      json_is "'Your relay does not work: $LAB_TURN_ADDR:$LAB_TURN_PORT refused the user and password (401 bad credentials)' in j['verdict']" True
    check "the verdict promises nothing more" json_is "j['verdict'].startswith('symmetric NAT: matches work only')" True
    # A broken relay.conf: said on stderr as the proxy says it, and the check runs without.
    printf 'sever = %s\n' "$LAB_TURN_ADDR" >"$out/config/Sarnolix/relay.conf"
    run_check_relay -- --server "$LAB_SERVER_ADDR" --no-upnp
    check "exit 0 with a broken relay.conf" rc_is 0
    check "its problem is said on stderr" grep -q 'kivra-netcheck: .*relay.conf line 1: unknown key "sever"; no relay' "$out/check.err"
    check "the report says no relay is configured" grep -q '^relay: no relay configured (the relay configuration has problems' "$out/check.out"
    ;;
  relay_down)
    new_lab symmetric
    start_server "$LAB_SERVER_ADDR"
    # Nothing listens at the relay's address; the server answers at once.
    run_check_relay KIVRA_RELAY="$LAB_SERVER_ADDR:3478" KIVRA_RELAY_USER=kivra KIVRA_RELAY_PASSWORD=x \
      KIVRA_RELAY_MODE=always -- --server "$LAB_SERVER_ADDR" --no-upnp --json
    check "exit 0" rc_is 0
    check "the relay does not work" json_is "(j['relay']['works'], j['relay']['failure'])" "(False, 'timeout')"
    check "the verdict says it did not answer" \
      json_is "'Your relay does not work: no answer from $LAB_SERVER_ADDR:3478 within' in j['verdict']" True
    check "done soon after the relay client gave up" took_at_most "$RELAY_GIVE_UP_BOUND_MS"
    ;;
  leftovers)
    # The way the server used to be started: $! is the subshell, not the process in the lab.
    new_lab cone
    inet_id=$(lab_netns_ids "${prefix}inet")
    lab_exec inet sleep 37 &
    pids+=($!)
    lost=""
    for _ in $(seq 20); do
      lost=$(lab_processes_in "$inet_id" | awk '$2 == "sleep" { print $1; exit }')
      [[ -n $lost ]] && break
      sleep 0.1
    done
    check "the process is running in the lab's internet" test -n "$lost"
    reaped=ended
    cleanup 2>"$out/leftovers.err" || reaped=failed
    check "ending the lab reports a leftover" test "$reaped" = failed
    check "the report names the lost process" grep -q "pid $lost sleep" "$out/leftovers.err"
    check "the lost process is ended" ended "$lost"
    ;;
  demo)
    demo_kind "cone NAT (router a: masquerade)" cone
    demo_kind "symmetric NAT (router a: masquerade fully-random)" symmetric
    demo_kind "forwarded (cone NAT that forwards 6006 and 6004 to the host)" forwarded
    demo_kind "cone NAT with miniupnpd on the router" cone upnp
    demo_kind "miniupnpd behind a second NAT (traffic leaves from another address)" cone second_nat
    demo_relay "symmetric NAT with coturn as the relay"
    demo_relay "symmetric NAT, the relay's password wrong" wrong
    exit 0
    ;;
  *) echo "unknown scenario $scenario" >&2; exit 2 ;;
esac
check "nothing this run started is left running" cleanup
((failures == 0)) || { show; exit 1; }
echo "all checks passed"
