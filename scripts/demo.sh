#!/usr/bin/env bash
# Installs what is needed, builds qelda, makes a small sample VM disk image with real tools,
# lists its sources and recovers the files of its NTFS volume.
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

# The NTFS volume's index in the source list that `qelda info` printed.
ntfs_source=$(./build/release/qelda info "$sample_dir/sample.vmdk" | awk -F'\t' '$4 == "NTFS" { print $1; exit }')
recovered=$sample_dir/recovered
rm -rf "$recovered"
echo
echo "$ qelda recover $sample_dir/sample.vmdk --source $ntfs_source --out $recovered"
./build/release/qelda recover "$sample_dir/sample.vmdk" --source "$ntfs_source" --out "$recovered"
echo
echo "$ find $recovered -type f | sort"
find "$recovered" -type f | sort
