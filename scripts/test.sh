#!/usr/bin/env bash
# Installs what is needed, builds the release and the sanitizer builds, and runs every test
# in both (the image corpus is made once and shared).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)
for preset in release debug; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
for preset in release debug; do
  echo "== tests: $preset build"
  ctest --preset "$preset" -j "$jobs"
done
