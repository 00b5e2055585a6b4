#!/usr/bin/env bash
# Fails when a C++ file under version control differs from what .clang-format
# makes of it; with --fix, rewrites the files in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$fmt" -i "${files[@]}"
else
  "$fmt" --dry-run --Werror "${files[@]}"
fi
