#!/usr/bin/env bash
# NAT lab: an isolated "internet" namespace with the rendezvous server, two home routers
# doing NAT with a home-router firewall, and one player host behind each. Source this file
# and call lab_up / lab_down, or run it: natlab.sh up|down PREFIX (needs root).
#
# Addresses come from TEST-NET-3 (203.0.113.0/24) and private LAN ranges; nothing links the
# lab to the machine's own interfaces and no namespace has a route out of the lab.
#
#   kvNNN-inet  br0 203.0.113.1/24 (rendezvous server), 203.0.113.3 and .4 (coturn, lab_turn_up)
#   kvNNN-ra    wan 203.0.113.10/24   lan 192.168.1.1/24    NAT + firewall
#   kvNNN-rb    wan 203.0.113.20/24   lan 192.168.2.1/24    NAT + firewall
#   kvNNN-ha    eth0 192.168.1.2/24 via 192.168.1.1
#   kvNNN-hb    eth0 192.168.2.2/24 via 192.168.2.1

LAB_SERVER_ADDR=203.0.113.1
LAB_SERVER_PORT=7001
# The TURN relay (coturn) beside the rendezvous server. coturn opens its alternate port (3479,
# which the proxy's NAT test needs) only with two listening addresses, hence the second one.
LAB_TURN_ADDR=203.0.113.3
LAB_TURN_ALT_ADDR=203.0.113.4
LAB_TURN_PORT=3478
LAB_TURN_USER=kivra
LAB_TURN_PASSWORD=lab-secret
LAB_TURN_REALM=kivra.lab
LAB_TURN_PID=""

# shellcheck source=reap.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/reap.sh"

lab_log() { echo "natlab: $*" >&2; }

# lab_up PREFIX NAT_A NAT_B   (NAT kinds: cone = port-preserving, symmetric = random per flow,
#                              forwarded = cone plus forwards of 6006/6004 to the host)
lab_up() {
  local p=$1 nat_a=${2:-cone} nat_b=${3:-cone}
  LAB_PREFIX=$p
  ip netns add "${p}inet" && ip netns add "${p}ra" && ip netns add "${p}rb" &&
    ip netns add "${p}ha" && ip netns add "${p}hb" || return 1
  local ns
  for ns in inet ra rb ha hb; do ip -n "${p}$ns" link set lo up || return 1; done
  ip -n "${p}inet" link add br0 type bridge && ip -n "${p}inet" link set br0 up &&
    ip -n "${p}inet" addr add "$LAB_SERVER_ADDR/24" dev br0 || return 1
  _lab_router "$p" a 203.0.113.10 192.168.1 "$nat_a" || return 1
  _lab_router "$p" b 203.0.113.20 192.168.2 "$nat_b" || return 1
}

# Router r (a|b): WAN veth into the internet bridge, LAN veth to its host.
_lab_router() {
  local p=$1 r=$2 wan=$3 lan=$4 nat=$5
  local rns="${p}r$r" hns="${p}h$r"
  # veth ends are created inside the lab namespaces directly, never in the root namespace.
  ip -n "${p}inet" link add "wan$r" type veth peer name wan netns "$rns" || return 1
  ip -n "${p}inet" link set "wan$r" master br0 up || return 1
  ip -n "$rns" link add lan type veth peer name eth0 netns "$hns" || return 1
  ip -n "$rns" addr add "$wan/24" dev wan && ip -n "$rns" link set wan up || return 1
  ip -n "$rns" addr add "$lan.1/24" dev lan && ip -n "$rns" link set lan up || return 1
  ip -n "$hns" addr add "$lan.2/24" dev eth0 && ip -n "$hns" link set eth0 up || return 1
  ip -n "$hns" route add default via "$lan.1" || return 1
  ip netns exec "$rns" sysctl -qw net.ipv4.ip_forward=1 || return 1
  local flags="" forward=""
  [[ $nat == symmetric ]] && flags="fully-random"
  # "forwarded": a cone NAT that also forwards the peer ports 6006 and 6004 to the host,
  # as the router does once the program's UPnP mapping succeeded.
  [[ $nat == forwarded ]] &&
    forward="chain pre { type nat hook prerouting priority dstnat; policy accept;
    iifname \"wan\" udp dport { 6004, 6006 } dnat to $lan.2
  }"
  ip netns exec "$rns" nft -f - <<NFT || return 1
table ip nat {
  chain post { type nat hook postrouting priority srcnat; policy accept;
    oifname "wan" masquerade $flags
  }
  $forward
}
table inet homefw {
  chain input { type filter hook input priority filter; policy accept;
    iifname "wan" ct state established,related accept
    iifname "wan" drop
  }
  chain forward { type filter hook forward priority filter; policy drop;
    iifname "lan" accept
    ct state established,related accept
    ct status dnat accept
  }
}
NFT
}

# lab_loss ROUTER(a|b) PERCENT: drop that share of UDP in each direction on the router's WAN.
lab_loss() {
  local r=$1 pct=$2
  ip netns exec "${LAB_PREFIX}r$r" nft -f - <<NFT
table inet loss {
  chain pre { type filter hook prerouting priority -300; policy accept;
    iifname "wan" meta l4proto udp numgen random mod 100 < $pct drop
  }
  chain post { type filter hook postrouting priority 300; policy accept;
    oifname "wan" meta l4proto udp numgen random mod 100 < $pct drop
  }
}
NFT
}

# lab_delay_queue ROUTER(a|b) QUEUE: hand every UDP packet that enters the router (from the WAN
# and from the LAN, so both directions of the player's path) to NFQUEUE QUEUE, where
# kivra-delayqueue holds it. The kernel has NFQUEUE only as an xtables target (no nft "queue"),
# so this is iptables-nft in the raw table: before conntrack, so a held packet creates its
# NAT mapping only when it is released. "bypass": without a consumer the packets pass.
lab_delay_queue() {
  local r=$1 queue=$2 dev
  for dev in wan lan; do
    ip netns exec "${LAB_PREFIX}r$r" iptables -t raw -A PREROUTING -i "$dev" -p udp \
      -j NFQUEUE --queue-num "$queue" --queue-bypass || return 1
  done
}

# lab_flush_nat ROUTER: forget the router's NAT mappings (the next packet gets a new one).
lab_flush_nat() { ip netns exec "${LAB_PREFIX}r$1" conntrack -F >/dev/null 2>&1; }

# lab_remap_nat ROUTER: flush the mappings and map new flows into 30000-39999, so the
# player's public port really changes (plain masquerade would hand out the freed port again).
lab_remap_nat() {
  ip netns exec "${LAB_PREFIX}r$1" nft flush chain ip nat post &&
    ip netns exec "${LAB_PREFIX}r$1" nft add rule ip nat post oifname wan meta l4proto udp masquerade to :30000-39999 &&
    lab_flush_nat "$1"
}

# lab_exec NS-SUFFIX CMD...: run a command inside one lab namespace.
lab_exec() { local ns=$1; shift; ip netns exec "${LAB_PREFIX}$ns" "$@"; }

# lab_turn_up DIR [LIFETIME_S]: coturn in the internet namespace, with explicit options only
# (-n: no configuration file), its user database, pid file and log in DIR, no TLS or DTLS.
# LIFETIME_S > 0 caps allocations and sets permission and channel lifetimes to it. Peers are
# the lab's TEST-NET addresses, allowed explicitly; nothing else is relayed to.
lab_turn_up() {
  local dir=$1 lifetime=${2:-0} extra=() i
  command -v turnserver >/dev/null || { lab_log "turnserver (coturn) is not installed"; return 1; }
  ip -n "${LAB_PREFIX}inet" addr add "$LAB_TURN_ADDR/24" dev br0 &&
    ip -n "${LAB_PREFIX}inet" addr add "$LAB_TURN_ALT_ADDR/24" dev br0 || return 1
  ((lifetime > 0)) && extra=(--max-allocate-lifetime "$lifetime" --permission-lifetime "$lifetime"
    --channel-lifetime "$lifetime")
  ip netns exec "${LAB_PREFIX}inet" turnserver -n \
    --listening-ip "$LAB_TURN_ADDR" --listening-ip "$LAB_TURN_ALT_ADDR" --relay-ip "$LAB_TURN_ADDR" \
    --listening-port "$LAB_TURN_PORT" --alt-listening-port $((LAB_TURN_PORT + 1)) \
    --min-port 49152 --max-port 49999 \
    --lt-cred-mech --user "$LAB_TURN_USER:$LAB_TURN_PASSWORD" --realm "$LAB_TURN_REALM" \
    --userdb "$dir/turndb" --no-tls --no-dtls --fingerprint --no-cli \
    --denied-peer-ip 0.0.0.0-255.255.255.255 --allowed-peer-ip 203.0.113.0-203.0.113.255 \
    --pidfile "$dir/turnserver.pid" --log-file "$dir/turnserver.log" --simple-log --no-stdout-log \
    "${extra[@]}" >"$dir/turnserver.out" 2>&1 &
  LAB_TURN_PID=$!
  # Up when both ports listen (at most 5 s, 50 polls).
  for ((i = 0; i < 50; i++)); do
    [[ $(ip netns exec "${LAB_PREFIX}inet" ss -Hlun "sport = :$LAB_TURN_PORT or sport = :$((LAB_TURN_PORT + 1))" | wc -l) -ge 2 ]] &&
      return 0
    kill -0 "$LAB_TURN_PID" 2>/dev/null || break
    sleep 0.1
  done
  lab_log "coturn did not start (see $dir/turnserver.log)"
  return 1
}

# lab_turn_down: coturn ends on SIGTERM; SIGKILL only if it has not after 5 s.
lab_turn_down() {
  local i
  [[ -n $LAB_TURN_PID ]] || return 0
  kill -TERM "$LAB_TURN_PID" 2>/dev/null
  for ((i = 0; i < 50; i++)); do kill -0 "$LAB_TURN_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$LAB_TURN_PID" 2>/dev/null && kill -KILL "$LAB_TURN_PID" 2>/dev/null
  wait "$LAB_TURN_PID" 2>/dev/null
  LAB_TURN_PID=""
}

# lab_down PREFIX: deletes the lab. Processes we started are ended by PID first; one still in
# a lab namespace then is reported and ended, and lab_down returns 1.
lab_down() {
  local p=${1:-$LAB_PREFIX}
  [[ -n $p ]] || return 0
  # Deleting a namespace ends the links in it.
  lab_reap_namespaces "${p}ha" "${p}hb" "${p}ra" "${p}rb" "${p}inet"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  case "${1:-}" in
    up) lab_up "${2:?prefix}" "${3:-cone}" "${4:-cone}" ;;
    down) lab_down "${2:?prefix}" ;;
    *) echo "usage: $0 up PREFIX [cone|symmetric] [cone|symmetric] | down PREFIX" >&2; exit 2 ;;
  esac
fi
