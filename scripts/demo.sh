#!/usr/bin/env bash
# Installs what is needed, builds qelda, makes a small sample VM disk image with real tools
# and runs qelda on it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
sample_dir=build/sample
bash tests/images/make_images.sh --sample "$sample_dir"
echo
echo "$ qelda info $sample_dir/sample.vmdk"
./build/release/qelda info "$sample_dir/sample.vmdk"
