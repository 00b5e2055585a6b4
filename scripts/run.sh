#!/usr/bin/env bash
# Starts the freshly built window.
set -euo pipefail
build=${1:-build}
exec "$build/src/app/kestrel" "${@:2}"
