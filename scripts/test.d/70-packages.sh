#!/usr/bin/env bash
# Test-command stage: the Debian packages. Builds them from the build dir with CPack, checks
# them with lintian (no error, no warning that is not overridden with its reason), installs
# them on this machine with dpkg, checks every installed program's --version, --help and usage
# error, the service unit (systemd-analyze verify, and security exposure at most 2.0), plays
# the service running under its sandbox in a systemd container, one served match in the NAT
# lab with the installed kivra-netproxy and kivra-rendezvous, and purges them again: the file
# lists before and after must be the same.
# Installing starts nothing: a policy-rc.d refuses every start while the packages are on the
# machine (where systemd runs, the postinst would start the server on the real interfaces).
set -uo pipefail
ROOT=${KIVRA_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
BUILD=${KIVRA_BUILD_DIR:-$ROOT/build}
JOBS=${KIVRA_JOBS:-$(nproc)}
Packages=(kivra-netproxy kivra-rendezvous)
# The unit's systemd-analyze exposure may not rise above this (0 = fully locked, 10 = open).
MaxExposure=2.0

work=$(mktemp -d "${TMPDIR:-/tmp}/kivra-packages.XXXXXX") || exit 1
installed=0 policy=/usr/sbin/policy-rc.d made_policy=0
cleanup() {
  ((installed)) && dpkg --purge "${Packages[@]}" >/dev/null 2>&1
  ((made_policy)) && rm -f "$policy"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "packages: FAILED: $*" >&2; exit 1; }
skip() { # reason
  echo "packages: *** SKIPPED: $1 ***"
  [[ "${CI:-}" == true ]] && fail "cannot be skipped under CI ($1)"
  exit 0
}

[[ $(id -u) -eq 0 ]] || skip "needs root (dpkg, network namespaces)"
for pkg in "${Packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
    skip "$pkg is already installed on this machine; this stage installs and purges it, so it leaves it alone"
  fi
done
for tool in cpack lintian dpkg-shlibdeps dpkg-parsechangelog systemd-analyze man; do
  command -v "$tool" >/dev/null || fail "missing $tool (scripts/packages.d/packaging.txt lists its package)"
done

echo "packages: building (cpack installs from a complete build)"
cmake --build "$BUILD" -j "$JOBS" >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log" >&2; fail "build"; }
(cd "$BUILD" && timeout 300 cpack -G DEB -B "$work/debs") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }

version=$("$BUILD/src/host/kivra-netproxy" --version | awk '{ print $2 }')
changelog=$(dpkg-parsechangelog -l "$ROOT/packaging/changelog" -S Version)
[[ $changelog == "$version-1" ]] ||
  fail "packaging/changelog's latest entry is $changelog, the packages are $version-1: add an entry"
arch=$(dpkg --print-architecture)
debs=()
for pkg in "${Packages[@]}"; do
  deb=$work/debs/${pkg}_${version}-1_${arch}.deb
  [[ -f $deb ]] || { ls "$work/debs" >&2; fail "no $deb"; }
  debs+=("$deb")
  echo "packages: $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
dpkg-deb -I "${debs[1]}" conffiles | grep -qx /etc/default/kivra-rendezvous ||
  fail "/etc/default/kivra-rendezvous is not a conffile"

echo "packages: lintian"
timeout 300 lintian --fail-on error,warning --display-info --pedantic "${debs[@]}" >"$work/lintian.log" 2>&1
lintian_rc=$?
grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/   /'
((lintian_rc == 0)) || fail "lintian (exit $lintian_rc)"

# Everything below / that dpkg and the maintainer scripts may touch, less the bookkeeping
# whose contents (not names) change: dpkg's and apt's state, caches, logs, compiled Python.
file_list() {
  find /etc /usr /var/lib /opt /srv -xdev \
    \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/lib/ucf -o -name __pycache__ \) -prune -o -print |
    sort
}
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\n# kivra packages stage: start nothing while its packages are installed.\nexit 101\n' >"$policy" &&
    chmod 755 "$policy" && made_policy=1
fi
# A policy this machine already had must refuse too, or a running systemd would start the server.
if [[ -d /run/systemd/system ]] && ! ((made_policy)); then
  "$policy" kivra-rendezvous.service start >/dev/null 2>&1
  (($? == 101)) || skip "systemd runs here and $policy would let the postinst start the server"
fi
file_list >"$work/files.before"

echo "packages: dpkg -i"
installed=1
dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
for pid in /proc/[0-9]*; do
  [[ $(readlink "$pid/exe" 2>/dev/null) == /usr/sbin/kivra-rendezvous ]] &&
    fail "installing started kivra-rendezvous (${pid#/proc/}) outside the lab"
done
dpkg-query -W -f='${Conffiles}\n' kivra-rendezvous | grep -q '/etc/default/kivra-rendezvous' ||
  fail "dpkg does not list /etc/default/kivra-rendezvous as a conffile"

# name: --version prints "name VERSION" on stdout with exit 0; --help prints its usage on stdout
# with exit 0; an unknown option gives the usage on stderr and the usage exit code.
check_tool() { # path usage-exit
  local path=$1 name shown out rc
  name=$(basename "$path")
  shown=$("$path" --version 2>/dev/null); rc=$?
  [[ $rc -eq 0 && $shown == "$name $version" ]] || fail "$path --version: exit $rc, '$shown'"
  out=$("$path" --help 2>/dev/null); rc=$?
  [[ $rc -eq 0 && ${out,,} == *usage* ]] || fail "$path --help: exit $rc, no usage on stdout"
  "$path" --no-such-option >/dev/null 2>"$work/usage.err"; rc=$?
  [[ $rc -eq $2 ]] && grep -qi usage "$work/usage.err" || fail "$path --no-such-option: exit $rc (want $2, usage on stderr)"
  man -w "$name" >/dev/null 2>&1 || fail "no man page for $name"
  echo "packages: $path: $shown"
}
check_tool /usr/bin/kivra-trace 1
check_tool /usr/bin/kivra-netcheck 2
check_tool /usr/sbin/kivra-rendezvous 2
# kivra-netproxy: a front-end's options it does not know are ignored, so a lone unknown
# option is a match without --emulator and --command.
out=$(/usr/bin/kivra-netproxy --version); [[ $out == "kivra-netproxy $version" ]] || fail "kivra-netproxy --version: '$out'"
/usr/bin/kivra-netproxy --help | grep -q '^usage: kivra-netproxy' || fail "kivra-netproxy --help"
out=$(/usr/bin/kivra-netproxy --no-such-option); rc=$?
[[ $rc -eq 2 && $out == "failed missing_arguments" ]] || fail "kivra-netproxy --no-such-option: exit $rc, '$out'"
man -w kivra-netproxy >/dev/null 2>&1 || fail "no man page for kivra-netproxy"
echo "packages: /usr/bin/kivra-netproxy: kivra-netproxy $version"

unit=/lib/systemd/system/kivra-rendezvous.service
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
  sed -n 's/.*Overall exposure level for kivra-rendezvous.service: \([0-9.]*\).*/\1/p')
awk -v e="${exposure:-99}" -v m="$MaxExposure" 'BEGIN { exit !(e <= m) }' ||
  fail "the unit's exposure is ${exposure:-unknown}, more than $MaxExposure"
echo "packages: $unit: verify clean, exposure $exposure"

# The service under its real sandbox: boot systemd in a container (systemd-nspawn) with a private
# network, a throw-away root and this machine's /usr read-only (so the installed package),
# start the unit with two ports from /etc/default, pair a match from inside, crash it once, and
# read back the state, the process's identity and the journal. Bounded: the probe powers the
# container off; timeout ends it otherwise. Where no container can boot it is skipped loudly.
sandbox_check() {
  local box=$work/sandbox
  mkdir -p "$box/out" "$box/units"
  cat >"$box/out/probe.py" <<'PROBE'
import socket, time
# Both sides of a match register, repeating as a proxy does (the server answers a source only
# once it has sent enough), until each has its "peer" announcement: at most 10 rounds.
for port in (7001, 7002):
    match = "sandbox%d" % port
    sides = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in (1, 2)]
    heard = [False, False]
    for _ in range(10):
        for i, s in enumerate(sides):
            if not heard[i]:
                s.sendto(("register/%s/%d" % (match, i + 1)).encode(), ("127.0.0.1", port))
        for i, s in enumerate(sides):
            s.settimeout(0.3)
            try:
                while not heard[i]:
                    data = s.recvfrom(600)[0].decode()
                    if data.startswith("peer/%s/" % match):
                        heard[i] = True
                        s.sendto(("peer_ack/%s/%s" % (match, "/".join(data.split("/")[2:4]))).encode(), ("127.0.0.1", port))
            except OSError:
                pass
        if all(heard):
            break
    print(("answer %d peer" % port) if all(heard) else ("no answer %d" % port))
PROBE
  printf 'ARGS="--port 7001 --port 7002"\n' >"$box/default"
  printf '[Unit]\nRequires=kivra-rendezvous.service kivra-probe.service\nAllowIsolate=yes\n' >"$box/units/kivra-check.target"
  cat >"$box/units/kivra-probe.service" <<'UNIT'
[Unit]
After=kivra-rendezvous.service
[Service]
Type=oneshot
ExecStart=/bin/sh -c 'sleep 2; python3 /out/probe.py >/out/probe.txt 2>&1; pid=$(systemctl show -p MainPID --value kivra-rendezvous); grep -E "^(Uid|CapEff|CapBnd|NoNewPrivs|Seccomp):" /proc/$pid/status >/out/status.txt; kill -SEGV $pid; sleep 7; systemctl show -p NRestarts -p SubState kivra-rendezvous >/out/show.txt; python3 /out/probe.py >>/out/probe.txt 2>&1; systemctl stop kivra-rendezvous; journalctl -u kivra-rendezvous --no-pager >/out/journal.txt 2>&1; systemctl poweroff'
UNIT
  timeout -k 20 90 systemd-nspawn --quiet --keep-unit --register=no --volatile=yes --directory=/ \
    --machine="kivra-check-$$" --private-network --bind="$box/out:/out" \
    --bind-ro="$box/default:/etc/default/kivra-rendezvous" \
    --bind-ro="$box/units/kivra-check.target:/etc/systemd/system/kivra-check.target" \
    --bind-ro="$box/units/kivra-probe.service:/etc/systemd/system/kivra-probe.service" \
    --boot systemd.unit=kivra-check.target systemd.firstboot=off </dev/null >"$box/boot.log" 2>&1
  if [[ ! -s $box/out/probe.txt ]]; then
    tail -n 5 "$box/boot.log" | sed 's/^/   /'
    echo "packages: *** the service's sandbox run was SKIPPED: no systemd container boots here ***"
    return 0
  fi
  sed 's/^/   /' "$box/out/probe.txt" "$box/out/status.txt" "$box/out/show.txt"
  [[ $(grep -c '^answer 700[12] peer$' "$box/out/probe.txt") -eq 4 ]] ||
    { cat "$box/out/journal.txt" >&2; fail "the sandboxed server did not answer on both ports, before and after its restart"; }
  grep -q '^CapEff:[[:space:]]*0*$' "$box/out/status.txt" && grep -q '^NoNewPrivs:[[:space:]]*1' "$box/out/status.txt" &&
    grep -q '^Seccomp:[[:space:]]*2' "$box/out/status.txt" && ! grep -q '^Uid:[[:space:]]*0[[:space:]]' "$box/out/status.txt" ||
    fail "the sandboxed server runs with privileges"
  grep -qx 'NRestarts=1' "$box/out/show.txt" || fail "the crashed server was not restarted"
  grep -q 'Deactivated successfully' "$box/out/journal.txt" || fail "the server did not stop cleanly"
  echo "packages: the service ran under its sandbox (systemd $(systemd-analyze --version | awk 'NR == 1 { print $2 }'))"
}
if command -v systemd-nspawn >/dev/null; then
  sandbox_check
else
  echo "packages: *** the service's sandbox run was SKIPPED: no systemd-nspawn (systemd-container) ***"
fi

echo "packages: a served match in the lab with the installed binaries"
KIVRA_NETPROXY_BIN=/usr/bin/kivra-netproxy KIVRA_RENDEZVOUS_BIN=/usr/sbin/kivra-rendezvous \
  timeout 120 "$ROOT/tests/lab/run_match.sh" --build "$BUILD" --out "$work/match" \
  --frames 180 --exit-a 0 --exit-b 0 --timeout 60
rc=$?
((rc == 77)) && skip "no network namespaces here (run_match.sh exit 77)"
((rc == 0)) || fail "run_match.sh exit $rc"
grep -qx 'players run /usr/bin/kivra-netproxy, the server is /usr/sbin/kivra-rendezvous' "$work/match/lab.log" ||
  fail "the lab did not run the installed binaries"
for side in a b; do
  grep -q '^connected ' "$work/match/$side.events" && grep -q '^delay ' "$work/match/$side.events" ||
    { cat "$work/match/$side.events" "$work/match/$side.stderr" >&2; fail "player $side did not connect"; }
  [[ $(cat "$work/match/$side.rc") == 0 ]] || fail "player $side exit $(cat "$work/match/$side.rc")"
  received=$(awk -F= '$1 == "received" { print $2 }' "$work/match/$side.report")
  ((${received:-0} > 0)) || fail "player $side received no game datagram"
  echo "packages: player $side: $(grep -E '^(connected|delay) ' "$work/match/$side.events" | tr '\n' ' ')received $received"
done

echo "packages: dpkg --purge"
dpkg --purge "${Packages[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
installed=0
file_list >"$work/files.after"
if ! diff "$work/files.before" "$work/files.after" >"$work/files.diff"; then
  sed 's/^/   /' "$work/files.diff" >&2
  fail "the purge left the file list changed (< gone, > left behind)"
fi
compgen -G '/var/lib/dpkg/info/kivra-*' >/dev/null && fail "dpkg still holds files of the packages"
echo "packages: purged; the file lists before and after are the same ($(wc -l <"$work/files.after") paths)"
echo "packages: ok"
