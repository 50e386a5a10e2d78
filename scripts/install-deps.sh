#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian 12 machine (as root).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libxcb1-dev
  xvfb x11-utils
  iproute2 iptables nftables conntrack
  miniupnpd miniupnpc
  clang libclang-rt-14-dev
  tcpdump socat procps psmisc
)
if [[ -n "${KIVRA_EXTRA_PACKAGES:-}" ]]; then
  read -r -a extra <<<"$KIVRA_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi
for f in "$(dirname "$0")"/packages.d/*.txt; do
  [[ -f "$f" ]] || continue
  while read -r p _; do [[ -n "$p" && "$p" != \#* ]] && packages+=("$p"); done <"$f"
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# miniupnpd's package asks questions and may try to start a service: neither is wanted here.
echo 'miniupnpd miniupnpd/start_daemon boolean false' | debconf-set-selections 2>/dev/null || true
# Keep package scripts from starting services (miniupnpd would announce itself on real
# interfaces); the tests start their own daemons inside network namespaces.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && made_policy=1
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
rc=$?
[[ $made_policy -eq 1 ]] && rm -f "$policy"
exit $rc
