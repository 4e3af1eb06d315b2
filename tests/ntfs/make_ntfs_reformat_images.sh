#!/usr/bin/env bash
# Makes NTFS volumes formatted again over their files: mkntfs -c 4096, filled through ntfs-3g
# with about 175 files in nested folders (one of them sparse), then mkntfs -Q over it, each in a raw MBR disk named
# .vmdk (read as a flat VMDK without descriptor) whose one partition starts at sector 2048:
#
#   OUTDIR/ntfs-reformat-c8192.vmdk  formatted again with 8192-byte clusters
#   OUTDIR/ntfs-reformat-c4096.vmdk  formatted again with the same 4096-byte clusters
#   OUTDIR/files/PATH                every file as written, by its path from the root
#
#   make_ntfs_reformat_images.sh OUTDIR
#
# Needs root and /dev/fuse. Cached (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC

need_tools "ntfs-3g fdisk" mkntfs ntfs-3g sfdisk
image_script_fresh

vol=$WORK/volume
truncate -s 64M "$vol"
run mkntfs -F -Q -c 4096 -L before "$vol" || die "mkntfs failed"
# The files, written once to OUTDIR/files and copied onto the volume: sizes from a few bytes
# (resident in their records) to a few hundred KiB, folders three deep.
files=$OUT/files
n=0
for a in $(seq 1 5); do
  for b in $(seq 1 4); do
    dir="Folder $a/Sub $b"
    [[ $b == 4 ]] && dir="Folder $a/Sub $b/Inner"
    mkdir -p "$files/$dir"
    for _ in $(seq 1 8); do
      n=$((n + 1))
      head -c $(((n * 7919) % 200000 + 30)) /dev/urandom >"$files/$dir/file $n.bin"
    done
  done
  head -c $((a * 333)) /dev/urandom >"$files/Folder $a/note $a.txt"
done
for r in $(seq 1 10); do head -c $((r * 4099)) /dev/urandom >"$files/root $r.dat"; done
# A sparse file: two pieces with a hole between (written so on the volume as well).
dd if=/dev/urandom of="$files/Folder 1/sparse.bin" bs=1k count=20 status=none
dd if=/dev/urandom of="$files/Folder 1/sparse.bin" bs=1k count=20 seek=300 conv=notrunc status=none
mount_ntfs "$vol"
cp -r --sparse=always "$files/." "$MNT/"
release_volume

for c in 8192 4096; do
  cp --sparse=always "$vol" "$WORK/again"
  run mkntfs -F -Q -c "$c" -L after "$WORK/again" || die "mkntfs -c $c failed"
  img=$OUT/ntfs-reformat-c$c.vmdk
  truncate -s 65M "$img"
  printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
  dd if="$WORK/again" of="$img" bs=1M seek=1 conv=notrunc,sparse status=none
done
[[ $(find "$files" -type f | wc -l) -ge 170 ]] || die "too few files written"
image_script_done
