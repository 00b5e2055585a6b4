#!/usr/bin/env bash
# Starts the freshly built window. With PORT set it opens that device (your
# console's serial line); without, it starts the monitor simulator and
# connects to it, so Kestrel can be tried without a console. Without a display
# it runs the headless demo instead.
set -euo pipefail
build=${1:-build}
app="$build/src/app/kestrel"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display here: running the headless demo (kestrel-cli against the simulator)."
  echo "On a desktop, 'make run' opens the window connected to the simulator."
  echo
  exec "$(dirname "$0")/demo.sh" "$build"
fi
if [ -n "${PORT:-}" ]; then
  exec "$app" --port "$PORT"
fi
exec "$app" --simulator
