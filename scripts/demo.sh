#!/usr/bin/env bash
# The headless demo: starts the monitor simulator, then uses kestrel-cli to
# download an executable and run an auto file against it, and shows what the
# simulator's memory and registers hold afterwards.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
sim="$build/tools/monitor-sim/kestrel-monitor-sim"
cli="$build/src/cli/kestrel-cli"
case "$sim" in /*) ;; *) sim="$root/$sim"; cli="$root/$cli" ;; esac

work=$(mktemp -d)
trap 'kill "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null; rm -rf "$work"' EXIT
"$sim" --report "$work/report" > "$work/sim.out" &
simpid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
device=$(head -n 1 "$work/sim.out")
echo "== monitor simulator on $device"
echo
echo "\$ kestrel-cli --port $device load tests/fixtures/exe/hello.exe"
(cd "$root" && "$cli" --quiet --port "$device" load tests/fixtures/exe/hello.exe)
echo
echo "\$ kestrel-cli --port $device auto examples/demo.sio"
(cd "$root/examples" && "$cli" --quiet --port "$device" auto demo.sio)
echo
kill -USR1 "$simpid"
for _ in $(seq 50); do grep -q '^report ' "$work/sim.out" && break; sleep 0.1; done
echo "== what the console now holds (the simulator's report)"
sed -n '/^register/p; /^region/p' "$work/report"
