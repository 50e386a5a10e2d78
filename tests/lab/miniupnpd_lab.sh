#!/usr/bin/env bash
# The real kivra-netproxy against Debian's miniupnpd, in an isolated namespace lab:
#   <p>h (LAN host, 198.18.1.2) --veth-- <p>r (router: miniupnpd, nftables) --veth-- <p>w (WAN side)
# Nothing links the lab to the machine's own interfaces, and there is no default route, so
# nothing sent here can leave it. SSDP multicast exists only on the lab's LAN link.
# Usage: miniupnpd_lab.sh router|no_router NETPROXY_BIN EMULATOR_BIN
# Exit 77 (skipped) without root or namespaces, except under CI=true where that fails.
set -uo pipefail
scenario=${1:?scenario}
netproxy=${2:?kivra-netproxy}
emulator=${3:?emulator}
quark=m1.1
lan_host=198.18.1.2
lan_router=198.18.1.1
# miniupnpd refuses to map when its WAN address is in its reserved-address table (every
# private, shared and documentation range), so the lab's WAN side gets an address outside
# it. It exists only on a veth inside the lab; nothing is ever sent to it.
wan_router=11.201.0.1
http_port=5555

skip_or_fail() {
  echo "UPNP LAB SKIPPED: $*" >&2
  [[ ${CI:-} == true ]] && exit 1
  exit 77
}
[[ $(id -u) -eq 0 ]] || skip_or_fail "needs root for network and PID namespaces"
for tool in ip nft miniupnpd upnpc unshare; do
  command -v "$tool" >/dev/null || skip_or_fail "missing $tool"
done
[[ -x $netproxy && -x $emulator ]] || { echo "missing $netproxy or $emulator" >&2; exit 1; }

# shellcheck source=reap.sh
source "$(cd "$(dirname "$0")" && pwd)/reap.sh"
p="kvu$$"
out=$(mktemp -d /tmp/kivra-upnp-lab-XXXXXX)
pids=()
# Ends what this run started; false when a process was left in the lab's namespaces.
cleanup() {
  local pid ok=0
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  lab_reap_namespaces "${p}h" "${p}r" "${p}w" || ok=1
  rm -rf "$out"
  return $ok
}
trap 'rc=$?; cleanup || rc=1; exit $rc' EXIT
trap 'exit 130' INT TERM

in_ns() { local ns=$1; shift; ip netns exec "$p$ns" "$@"; }
failures=0
check() { # description command...
  if "${@:2}"; then echo "ok   - $1"; else echo "FAIL - $1"; failures=$((failures + 1)); fi
}
show() {
  local f
  for f in "$out"/*.log "$out"/*.events "$out"/*.txt; do
    [[ -f $f ]] && { echo "--- $(basename "$f")"; cat "$f"; }
  done
}

lab_up() {
  local ns
  for ns in h r w; do ip netns add "$p$ns" || return 1; done
  ip link add "${p}lh" netns "${p}h" type veth peer name "${p}lr" netns "${p}r" || return 1
  ip link add "${p}wr" netns "${p}r" type veth peer name "${p}ww" netns "${p}w" || return 1
  in_ns h ip link set lo up && in_ns r ip link set lo up && in_ns w ip link set lo up || return 1
  in_ns h ip addr add "$lan_host/24" dev "${p}lh" && in_ns h ip link set "${p}lh" up || return 1
  in_ns r ip addr add "$lan_router/24" dev "${p}lr" && in_ns r ip link set "${p}lr" up || return 1
  in_ns r ip addr add "$wan_router/24" dev "${p}wr" && in_ns r ip link set "${p}wr" up || return 1
  in_ns w ip link set "${p}ww" up || return 1
  # SSDP searches leave the host through the LAN link only.
  in_ns h ip route add 239.0.0.0/8 dev "${p}lh" || return 1
  in_ns r sysctl -qw net.ipv4.ip_forward=1 || return 1
  # Debian's nft_init.sh is broken here: make the tables and chains miniupnpd fills.
  in_ns r nft -f - <<'NFT' || return 1
table inet filter {
  chain miniupnpd { }
  chain forward { type filter hook forward priority 0; policy drop; ct state established,related accept; jump miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
}
NFT
}

start_router() {
  cat >"$out/miniupnpd.conf" <<CONF
ext_ifname=${p}wr
listening_ip=${p}lr
http_port=$http_port
enable_natpmp=no
enable_upnp=yes
secure_mode=yes
system_uptime=yes
notify_interval=60
lease_file=$out/upnp.leases
uuid=8f3e2d1c-5b4a-4c3d-9e8f-0a1b2c3d4e5f
upnp_table_name=filter
upnp_nat_table_name=filter
upnp_forward_chain=miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
allow 1024-65535 198.18.1.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  # Started directly (not through a function) so that $! is the daemon itself; its own
  # pid file keeps it clear of any other miniupnpd on the machine.
  ip netns exec "${p}r" miniupnpd -f "$out/miniupnpd.conf" -P "$out/miniupnpd.pid" -d >"$out/miniupnpd.log" 2>&1 &
  pids+=($!)
  local _
  for _ in $(seq 50); do
    in_ns r ss -ltn 2>/dev/null | grep -q ":$http_port " && return 0
    sleep 0.1
  done
  return 1
}

# Runs the program in served mode in the LAN host, in its own PID namespace (served mode
# ends every other instance of itself and of the emulator it can see).
start_player() {
  local command="kivra-net:served,g,$quark,x,,127.0.0.1,7999,127.0.0.1"
  ip netns exec "${p}h" unshare --pid --fork --mount-proc --kill-child env KIVRA_NET_TRACE="$out/player.trace" \
    "$netproxy" --emulator "$emulator" --command "$command" >"$out/player.events" 2>"$out/player.log" &
  player_pid=$!
  pids+=("$player_pid")
  started_ms=$(date +%s%3N)
}

# Waits (bounded) for an "upnp" line; prints how long it took.
wait_upnp_line() {
  local _
  for _ in $(seq 150); do
    if grep -q "^upnp $quark " "$out/player.events"; then
      echo "upnp line after $(($(date +%s%3N) - started_ms)) ms: $(grep "^upnp $quark " "$out/player.events")"
      return 0
    fi
    kill -0 "$player_pid" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}

has_event() { grep -qx -- "$1" "$out/player.events"; }
still_running() { kill -0 "$player_pid" 2>/dev/null; }
nft_has_mapping() { # port
  in_ns r nft list chain inet filter prerouting_miniupnpd >"$out/nft.txt" 2>&1
  grep -q "dport $1 dnat ip to $lan_host:$1" "$out/nft.txt"
}
upnpc_lists_mapping() { # port
  in_ns h upnpc -i -l >"$out/upnpc.txt" 2>&1
  grep -Eq "UDP +$1->$lan_host:$1 " "$out/upnpc.txt"
}

lab_up || { echo "cannot build the lab" >&2; show; exit 1; }
case $scenario in
  router)
    start_router || { echo "miniupnpd did not start" >&2; show; exit 1; }
    start_player
    check "an upnp line appears" wait_upnp_line
    check "the router mapped the peer port and 6004" has_event "upnp $quark ok 6006,6004"
    check "the router's nftables forward UDP 6006 to the host" nft_has_mapping 6006
    check "the router's nftables forward UDP 6004 to the host" nft_has_mapping 6004
    check "upnpc lists UDP 6006 to the host" upnpc_lists_mapping 6006
    check "upnpc lists UDP 6004 to the host" upnpc_lists_mapping 6004
    check "the match goes on after the mapping" still_running
    ;;
  no_router)
    start_player
    check "an upnp line appears" wait_upnp_line
    check "without a router the mapping fails with no_router" has_event "upnp $quark failed no_router"
    check "the match goes on after the failure" still_running
    ;;
  *) echo "unknown scenario $scenario" >&2; exit 2 ;;
esac
((failures == 0)) || { show; exit 1; }
echo "all checks passed"
