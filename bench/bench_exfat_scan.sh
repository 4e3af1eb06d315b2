#!/usr/bin/env bash
# Quick-scan speed on an exFAT volume of 100,000 files, against fls on the same disk.
#
#   bench_exfat_scan.sh BUILD_DIR [WORK_DIR]
#
# Makes once (kept in WORK_DIR, default BUILD_DIR/bench-exfat) an exFAT volume of 1 GiB
# with mkfs.exfat (4 KiB clusters), filled through exfat-fuse over a loop device, and
# places it as partition 1 of a raw disk (sfdisk), described by a monolithicFlat VMDK:
#   5 areas x 4 teams x 5 batches = 100 leaf folders (three levels below the root), each
#   holding 1000 files with long names and a few lines of text; every 25th file is 6 KB
#   (two clusters).
# Then, with the disk in the page cache, times in the same run (best of ROUNDS, default 3):
#   qelda scan disk.vmdk --source N --kind quick --list > /dev/null
#   fls -r -p -o START disk.raw > /dev/null
# and prints both times and their ratio, with the engine alone (bench_scan_engine, items
# dropped) beside them.
# Needs root, /dev/fuse and a free loop device for the making step.
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
# FILES (default 100000): the files of the volume, spread over its 100 leaf folders.
# shellcheck source=bench/scan_timing.sh
source "$BENCH/scan_timing.sh"
scan_bench_start bench-exfat "${FILES:-100000}" 100 100000 "$@"
need_tools "exfatprogs exfat-fuse sleuthkit fdisk python3" mkfs.exfat mount.exfat-fuse losetup sfdisk fls python3
mkdir -p "$WORK"
# The engine's work files go beside the disk, not into the user's cache.
export XDG_CACHE_HOME=$WORK/cache

RAW=$WORK/disk.raw
VMDK=$WORK/disk.vmdk
LAYOUT="exfat 1 GiB at sector 2048, 4 KiB clusters; 5x4x5 folders x 1000 files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
[[ -n $SUFFIX ]] && LAYOUT="exfat $VOL_MIB MiB at sector 2048, 4 KiB clusters; 5x4x5 folders x $PER_LEAF files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"

# ---------------------------------------------------------------- the disk
make_disk() {
  local t0 vol filled
  t0=$(now)
  rm -f "$WORK"/disk.* "$WORK/.made"
  memory_folder
  vol=$TMP/volume.img
  truncate -s "${VOL_MIB}M" "$vol"
  LOOP=$(losetup -f --show "$vol")
  logged "$TMP/tools.log" mkfs.exfat -c 4K -L qeldabench "$LOOP"
  logged "$TMP/tools.log" mount.exfat-fuse "$LOOP" "$MNT"
  # One python process per four leaf folders, four at once.
  fill_leaves "$MNT" 4 4
  filled=$(elapsed "$t0")
  umount "$MNT"  # fuseblk: returns once the driver has written everything
  losetup -d "$LOOP"
  LOOP=''

  # The disk: an MBR with the volume as partition 1 (type 7), the volume copied in place.
  mbr_disk "$RAW" 7 $((VOL_MIB * 2048)) "$vol"
  flat_vmdk "$VMDK" "$RAW"
  drop_memory_folder
  mark_made
  echo "made $RAW in $(elapsed "$t0") s (filling through exfat-fuse: $filled s)"
}

disk_made || make_disk

# ---------------------------------------------------------------- timing
time_quick_scans exFAT "$VMDK" "$RAW"
