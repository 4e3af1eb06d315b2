#!/usr/bin/env bash
# Quick-scan speed on an NTFS volume of 100,000 files, against fls on the same disk; with
# --deleted, the deleted-files scan of such a volume from which 20,000 files were removed,
# against `fls -r -d -p`.
#
#   bench_ntfs_scan.sh [--deleted] BUILD_DIR [WORK_DIR]
#
# Makes once (kept in WORK_DIR, default BUILD_DIR/bench-ntfs) a volume with mkntfs, fills it
# through ntfs-3g, and places it as partition 1 of a raw disk (sfdisk), described by a
# monolithicFlat VMDK:
#   5 areas x 4 teams x 5 batches = 100 leaf folders (three levels below the root), each
#   holding 1000 files with long names and a few lines of text; every 25th file is 6 KB
#   (non-resident), the rest live in their MFT records.
#   --deleted (kept in WORK_DIR, default BUILD_DIR/bench-ntfs-deleted): then, on the same
#   mount, the 10 leaf folders of teams 2 and 3 of area 4 are removed whole (their team
#   folders too) and, in the other 90, every file whose
#   number is 1 more than a multiple of 9 (111 a folder): 19,990 files deleted.
# Then, with the disk in the page cache, times in the same run (best of ROUNDS, default 3):
#   qelda scan disk.vmdk --source N --kind quick --list > /dev/null
#   fls -r -p -o START disk.raw > /dev/null
# (--deleted: qelda scan ... --kind deleted --list, and fls -r -d -p -o START disk.raw)
# and prints both times and their ratio, with the engine alone (bench_scan_engine, items
# dropped) beside them. While the build has no working `qelda scan`, the engine alone is
# what is held against fls, and said so.
# Needs root and /dev/fuse for the making step (ntfs-3g mounts the volume file).
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
DELETED=0
if [[ ${1:-} == --deleted ]]; then
  DELETED=1
  shift
fi
BENCH_USAGE="[--deleted] BUILD_DIR [WORK_DIR]"
# FILES (default 100000): the files of the volume, 1% of them in each leaf folder.
# shellcheck source=bench/scan_timing.sh
source "$BENCH/scan_timing.sh"
if ((DELETED)); then NAME=bench-ntfs-deleted; else NAME=bench-ntfs; fi
scan_bench_start "$NAME" "${FILES:-100000}" 100 100000 "$@"
need_tools "ntfs-3g fuse sleuthkit fdisk python3" mkntfs ntfs-3g fusermount sfdisk fls python3
mkdir -p "$WORK"

RAW=$WORK/disk.raw
VMDK=$WORK/disk.vmdk
LAYOUT="ntfs 1 GiB at sector 2048; 5x4x5 folders x 1000 files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
[[ -n $SUFFIX ]] && LAYOUT="ntfs $VOL_MIB MiB at sector 2048; 5x4x5 folders x $PER_LEAF files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
((DELETED)) && LAYOUT="$LAYOUT; leaves 4,2,* and 4,3,* removed whole and files N % 9 == 1 of the others"

# ---------------------------------------------------------------- the disk
make_disk() {
  local t0 vol filled
  t0=$(now)
  rm -f "$WORK"/disk.* "$WORK/.made"
  memory_folder
  vol=$TMP/volume.img
  truncate -s "${VOL_MIB}M" "$vol"
  logged "$TMP/tools.log" mkntfs -F -Q -q -c 4096 -p $START -H 255 -S 63 -L qeldabench "$vol"
  mount_ntfs "$vol" "$TMP/tools.log"
  # One python process per four leaf folders, as many at once as there are processors:
  # ntfs-3g answers faster when many requests wait than when each waits for the one before
  # (one process alone: about 850 files a second; eight: about 4,500).
  fill_leaves "$MNT" 4 "$(nproc)"
  if ((DELETED)); then
    rm -r "$MNT/Area 4/Team 2 of area 4" "$MNT/Area 4/Team 3 of area 4"
    # File names are "NNNN Document of batch BB.txt": the number is 29 characters from the end.
    find "$MNT/Area "[0-4] -name '*.txt' -print0 |
      awk -v RS='\0' -v ORS='\0' '{ n = substr($0, length($0) - 28, 4) + 0 } n % 9 == 1' |
      xargs -0 -P "$(nproc)" -n 500 rm
  fi
  filled=$(elapsed "$t0")
  unmount_ntfs

  # The disk: an MBR with the volume as partition 1 (type 7), the volume copied in place.
  mbr_disk "$RAW" 7 $((VOL_MIB * 2048)) "$vol"
  flat_vmdk "$VMDK" "$RAW"
  drop_memory_folder
  mark_made
  echo "made $RAW in $(elapsed "$t0") s (filling through ntfs-3g: $filled s)"
}

disk_made || make_disk

# ---------------------------------------------------------------- timing
if ((DELETED)); then time_deleted_scans NTFS "$VMDK" "$RAW"; else time_quick_scans NTFS "$VMDK" "$RAW"; fi
