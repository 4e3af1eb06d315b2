#!/usr/bin/env bash
# Quick-scan speed on a FAT32 volume of 50,000 files, against fls on the same disk.
#
#   bench_fat_scan.sh BUILD_DIR [WORK_DIR]
#
# Makes once (kept in WORK_DIR, default BUILD_DIR/bench-fat) a FAT32 volume with mkfs.fat
# (4 KiB clusters), filled with one `mcopy -s` of a folder tree prepared on the local disk,
# and places it as partition 1 of a raw disk (sfdisk), described by a monolithicFlat VMDK:
#   5 areas x 2 teams x 5 batches = 50 leaf folders (three levels below the root), each
#   holding 1000 files with long names and a few lines of text; every 25th file is 6 KB
#   (two clusters). The names start with the file's number, so each short name mtools
#   makes is free at its first "~1" try: with a common prefix ("Document 0001 ...") mcopy
#   searches the folder for a free tail again and again, and takes many minutes.
# Then, with the disk in the page cache, times in the same run (best of ROUNDS, default 3):
#   qelda scan disk.vmdk --source N --kind quick --list > /dev/null
#   fls -r -p -o START disk.raw > /dev/null
# and prints both times and their ratio, with the engine alone (bench_scan_engine, items
# dropped) beside them. While the build has no working `qelda scan`, the engine alone is
# what is held against fls, and said so.
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
# FILES (default 50000): the files of the volume, spread over its 50 leaf folders.
# shellcheck source=bench/scan_timing.sh
source "$BENCH/scan_timing.sh"
scan_bench_start bench-fat "${FILES:-50000}" 50 50000 "$@"
need_tools "dosfstools mtools fdisk sleuthkit python3" mkfs.fat mcopy sfdisk fls python3
export MTOOLS_SKIP_CHECK=1
mkdir -p "$WORK"

RAW=$WORK/disk.raw
VMDK=$WORK/disk.vmdk
LAYOUT="fat32 1 GiB at sector 2048, 4 KiB clusters; 5x2x5 folders x 1000 files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
[[ -n $SUFFIX ]] && LAYOUT="fat32 $VOL_MIB MiB at sector 2048, 4 KiB clusters; 5x2x5 folders x $PER_LEAF files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"

# ---------------------------------------------------------------- the disk
make_disk() {
  local t0 t1 vol tree filled
  t0=$(now)
  rm -f "$WORK"/disk.* "$WORK/.made"
  memory_folder
  vol=$TMP/volume.img
  tree=$TMP/tree
  # The leaves one run at a time, so that the files are made, and mcopy finds them, in the same
  # order every time.
  fill_leaves "$tree" 2 1
  truncate -s "${VOL_MIB}M" "$vol"
  mkfs.fat -F 32 -s 8 -h $START -n QELDABENCH "$vol" >/dev/null
  t1=$(now)
  mcopy -s -i "$vol" "$tree"/* ::/
  filled=$(elapsed "$t1")

  # The disk: an MBR with the volume as partition 1 (type 0x0C), the volume copied in place.
  mbr_disk "$RAW" c $((VOL_MIB * 2048)) "$vol"
  flat_vmdk "$VMDK" "$RAW"
  drop_memory_folder
  mark_made
  echo "made $RAW in $(elapsed "$t0") s (mcopy of the tree: $filled s)"
}

disk_made || make_disk

# ---------------------------------------------------------------- timing
time_quick_scans FAT32 "$VMDK" "$RAW"
