#!/usr/bin/env bash
# Takes a screenshot of the window as a person would see it: the freshly built
# kestrel connected to the monitor simulator in a virtual X display, resized
# to WIDTH pixels wide, after typing KEYS: xdotool key names ("F12"), text
# as "type:TEXT", a left click as "click:X Y" (screen pixels), "focus" (the
# keyboard back to the window), or "wait:SECONDS".
# Usage: scripts/screenshot.sh OUT.png [WIDTH] [KEYS...]
# The image is of the whole screen, so a dialog the keys open is in it too.
set -euo pipefail
out=${1:?usage: scripts/screenshot.sh OUT.png [WIDTH] [KEYS...]}
width=${2:-}
shift $(($# < 2 ? $# : 2))
build=${BUILD:-build}
cd "$(dirname "$0")/.."
scripts/deps.sh screenshot
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=""
config=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  rm -rf "$config"
  wait 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
# A store of its own with a line already chosen, so the first-run question
# does not cover the window.
config=$(mktemp -d)
mkdir -p "$config/Tamsworth"
printf '[Config]\nCommPort=2\nCommSettings="115200,n,8,1"\n' >"$config/Tamsworth/Kestrel.conf"
export XDG_CONFIG_HOME=$config
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# A dark background, so the window's edges show.
xsetroot -solid '#404850' 2>/dev/null || true
"$build/src/app/kestrel" --simulator >/dev/null 2>&1 &
app=$!
window=$(xdotool search --sync --onlyvisible --name 'Kestrel' | head -1)
if [ -n "$width" ]; then
  height=$(xwininfo -id "$window" | awk '/Height:/ {print $2}')
  xdotool windowsize --sync "$window" "$width" "$height"
fi
xdotool windowmove "$window" 20 20
# No window manager runs here to give the window the keyboard.
xdotool windowfocus --sync "$window"
sleep 1 # the simulator's greeting reaches the terminal
for key in "$@"; do
  case "$key" in
    type:*) xdotool type --delay 20 "${key#type:}" ;;
    wait:*) sleep "${key#wait:}" ;;
    focus) xdotool windowfocus --sync "$window" ;; # a closed dialog leaves no focus without a window manager
    click:*) xdotool mousemove ${key#click:} click 1 ;; # click:X Y, screen pixels
    *) xdotool key "$key" ;;
  esac
  sleep 0.5
done
import -window root "$out"
echo "$out"
