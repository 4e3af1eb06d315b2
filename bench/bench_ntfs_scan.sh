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

DELETED=0
if [[ ${1:-} == --deleted ]]; then
  DELETED=1
  shift
fi
if [[ $# -lt 1 ]]; then echo "usage: $0 [--deleted] BUILD_DIR [WORK_DIR]" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
# FILES (default 100000): the files of the volume, 1% of them in each leaf folder.
# shellcheck source=bench/scan_timing.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/scan_timing.sh"
bench_layout "${FILES:-100000}" 100 100000 1024
if ((DELETED)); then WORK=$(readlink -m "${2:-$BUILD/bench-ntfs-deleted$SUFFIX}"); else WORK=$(readlink -m "${2:-$BUILD/bench-ntfs$SUFFIX}"); fi
ROUNDS=${ROUNDS:-3}
QELDA=$BUILD/qelda
ENGINE=$BUILD/bench_scan_engine
[[ -x $QELDA && -x $ENGINE ]] || { echo "missing $QELDA or $ENGINE (build first)" >&2; exit 1; }
for tool in mkntfs ntfs-3g fusermount sfdisk fls python3; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (packages: ntfs-3g fuse sleuthkit fdisk python3)" >&2; exit 1; }
done
export LC_ALL=C.UTF-8 TZ=UTC
mkdir -p "$WORK"

RAW=$WORK/disk.raw
VMDK=$WORK/disk.vmdk
LAYOUT="ntfs 1 GiB at sector 2048; 5x4x5 folders x 1000 files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
[[ -n $SUFFIX ]] && LAYOUT="ntfs $VOL_MIB MiB at sector 2048; 5x4x5 folders x $PER_LEAF files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
((DELETED)) && LAYOUT="$LAYOUT; leaves 4,2,* and 4,3,* removed whole and files N % 9 == 1 of the others"
START=2048

# ---------------------------------------------------------------- clean-up
# Whatever is mounted when the script ends, by success, failure or signal, is released
# here, and ntfs-3g is waited for so that the volume file is complete.
MNT='' FUSE_PID='' FILL_PID='' TMP=''
cleanup() {
  local rc=$?
  if [[ -n $FILL_PID ]]; then
    kill -- -"$FILL_PID" 2>/dev/null || kill "$FILL_PID" 2>/dev/null || true
    wait "$FILL_PID" 2>/dev/null || true
  fi
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then
    fusermount -u "$MNT" 2>/dev/null || umount "$MNT" 2>/dev/null || umount -l "$MNT" || true
  fi
  if [[ -n $FUSE_PID ]]; then wait "$FUSE_PID" 2>/dev/null || true; fi
  if [[ -n $TMP ]]; then rm -rf --one-file-system "$TMP"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# ---------------------------------------------------------------- the disk
make_disk() {
  local t0 vol
  t0=$(now)
  rm -f "$WORK"/disk.* "$WORK/.made"
  # Made in memory when there is room (many small files are slow to make on a busy disk).
  TMP=$(mktemp -d /dev/shm/qelda-bench-XXXXXX 2>/dev/null) || TMP=$(mktemp -d "$WORK/make-XXXXXX")
  vol=$TMP/volume.img
  MNT=$TMP/mnt
  mkdir -p "$MNT"
  truncate -s ${VOL_MIB}M "$vol"
  mkntfs -F -Q -q -c 4096 -p $START -H 255 -S 63 -L qeldabench "$vol" >"$TMP/tools.log" 2>&1 ||
    { cat "$TMP/tools.log" >&2; exit 1; }
  ntfs-3g -o no_detach,big_writes "$vol" "$MNT" >>"$TMP/tools.log" 2>&1 &
  FUSE_PID=$!
  for _ in $(seq 1 100); do mountpoint -q "$MNT" && break; sleep 0.1; done
  mountpoint -q "$MNT" || { echo "ntfs-3g did not mount the volume" >&2; exit 1; }

  # One python process per four leaf folders, as many at once as there are processors:
  # ntfs-3g answers faster when many requests wait than when each waits for the one before
  # (one process alone: about 850 files a second; eight: about 4,500).
  cat >"$TMP/fill.py" <<'EOF'
import os, sys
root = sys.argv[1]
for leaf in sys.argv[2:]:
    a, t, b = (int(x) for x in leaf.split(","))
    folder = os.path.join(root, f"Area {a}", f"Team {t} of area {a}", f"Batch {b:02d}")
    os.makedirs(folder, exist_ok=True)
    line = f"area {a} team {t} batch {b:02d}: qelda scan bench text\n"
    for i in range(int(os.environ["PER_LEAF"])):
        name = f"{i:04d} Document of batch {b:02d}.txt"
        body = f"{name}\n" + line * (1 + i % 4)
        if i % 25 == 0:
            body = (body * (6000 // len(body) + 1))[:6000]
        with open(os.path.join(folder, name), "w") as f:
            f.write(body)
EOF
  local leaves=() a t b
  for a in 0 1 2 3 4; do for t in 0 1 2 3; do for b in 0 1 2 3 4; do leaves+=("$a,$t,$b"); done; done; done
  # In a process group of its own, waited for here, so that a signal to this script ends
  # the fill at once (the clean-up stops the group) instead of after it.
  printf '%s\n' "${leaves[@]}" >"$TMP/leaves"
  PER_LEAF=$PER_LEAF setsid xargs -a "$TMP/leaves" -P "$(nproc)" -n 4 python3 "$TMP/fill.py" "$MNT" &
  FILL_PID=$!
  wait "$FILL_PID"
  FILL_PID=''
  if ((DELETED)); then
    rm -r "$MNT/Area 4/Team 2 of area 4" "$MNT/Area 4/Team 3 of area 4"
    # File names are "NNNN Document of batch BB.txt": the number is 29 characters from the end.
    find "$MNT/Area "[0-4] -name '*.txt' -print0 |
      awk -v RS='\0' -v ORS='\0' '{ n = substr($0, length($0) - 28, 4) + 0 } n % 9 == 1' |
      xargs -0 -P "$(nproc)" -n 500 rm
  fi
  local filled
  filled=$(elapsed "$t0")
  fusermount -u "$MNT"
  wait "$FUSE_PID"
  FUSE_PID=''

  # The disk: an MBR with the volume as partition 1 (type 7), the volume copied in place.
  truncate -s $((VOL_MIB + 2))M "$RAW"
  printf 'label: dos\nstart=%d, size=%d, type=7\n' $START $((VOL_MIB * 2048)) | sfdisk -q "$RAW"
  dd if="$vol" of="$RAW" bs=1M seek=$((START / 2048)) conv=notrunc,sparse status=none
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW %d FLAT "disk.raw" 0\n' \
    $(($(stat -c %s "$RAW") / 512)) >"$VMDK"
  rm -rf --one-file-system "$TMP"
  TMP='' MNT=''
  printf '%s\n' "$LAYOUT" >"$WORK/.made"
  echo "made $RAW in $(elapsed "$t0") s (filling through ntfs-3g: $filled s)"
}

if [[ ! -f $WORK/.made || $(<"$WORK/.made") != "$LAYOUT" ]]; then make_disk; fi

# ---------------------------------------------------------------- timing
if ((DELETED)); then time_deleted_scans NTFS "$VMDK" "$RAW"; else time_quick_scans NTFS "$VMDK" "$RAW"; fi
