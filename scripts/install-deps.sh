#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are not
# installed yet. Safe to run again; does nothing when everything is present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$here/packages.txt" | grep -v '^$')
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#wanted[@]} packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
# tinyproxy, danted and nginx are started by the tests and benchmarks
# themselves, on loopback ports; keep the system services from holding
# their default ports.
for svc in tinyproxy danted nginx; do
  if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true; fi
  if [ -x "/etc/init.d/$svc" ]; then $SUDO "/etc/init.d/$svc" stop >/dev/null 2>&1 || true; fi
done
