#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs, skipping those already present.
# Usage: scripts/deps.sh [build|test|bench|fuzz|package|format]
set -euo pipefail
want=(
  cmake make g++                     # the build
  qt6-base-dev qt6-serialport-dev    # Qt Core, Gui, Widgets, Test and SerialPort
  libgl-dev                          # OpenGL headers that Qt6Gui's CMake package asks for
)
case "${1:-build}" in
  test)
    want+=(
      libgtest-dev                   # GoogleTest, which every test program links
      # Nothing in tests/ or scripts/ runs these three today: the tests open
      # their own pseudo-terminals and run offscreen. Kept for trying the
      # window by hand under Xvfb and for bridging a line with socat.
      socat xvfb xauth
      ser2net                        # the network-port tests run a real one in front of the simulator
    ) ;;
  format)
    want=(clang-format-14 git)       # scripts/check-format.sh: the tree against .clang-format
    ;;
  bench) ;; # the suite needs only what the build needs (it times with wait4 itself)
  fuzz)
    want+=(
      clang-14 libclang-rt-14-dev    # libFuzzer and the sanitizer runtimes
      # Nothing in the fuzz build links GoogleTest (the fuzz preset leaves the
      # tests off); kept until that is settled.
      libgtest-dev
    ) ;;
  package)
    want+=(
      dpkg-dev                       # dpkg-shlibdeps, which CPack runs for the dependencies
      lintian                        # scripts/check-package.sh: policy checks on the .deb
      desktop-file-utils             # desktop-file-validate
      appstream                      # appstreamcli validate
    ) ;;
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
