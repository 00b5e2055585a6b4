#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs, skipping those already present.
# Usage: scripts/deps.sh [build|test|bench|fuzz]
set -euo pipefail
want=(cmake make g++ qt6-base-dev qt6-serialport-dev libgl-dev)
case "${1:-build}" in
  # ser2net: the network-port tests run a real one in front of the simulator.
  test)  want+=(libgtest-dev socat xvfb xauth ser2net) ;;
  bench) ;; # the suite needs only what the build needs (it times with wait4 itself)
  fuzz)  want+=(clang-14 libclang-rt-14-dev libgtest-dev) ;;
esac
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
