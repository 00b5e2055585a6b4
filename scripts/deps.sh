#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs, skipping those already present.
# Usage: scripts/deps.sh [build|test|bench|fuzz|package|format|screenshot]
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
      ser2net                        # the network-port tests run a real one in front of the simulator
    ) ;;
  screenshot)
    want+=(
      xvfb                           # scripts/screenshot.sh: the virtual X display
      x11-utils x11-xserver-utils    # xdpyinfo (is it up), xwininfo (window size), xsetroot
      xdotool                        # finds, sizes and types into the window
      imagemagick                    # import: the screen to PNG
    ) ;;
  format)
    want=(clang-format-14 git)       # scripts/check-format.sh: the tree against .clang-format
    ;;
  bench) ;; # the suite needs only what the build needs (it times with wait4 itself)
  fuzz)
    want+=(
      clang-14 libclang-rt-14-dev    # libFuzzer and the sanitizer runtimes
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
