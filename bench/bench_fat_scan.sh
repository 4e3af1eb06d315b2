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

if [[ $# -lt 1 ]]; then echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
# FILES (default 50000): the files of the volume, spread over its 50 leaf folders.
# shellcheck source=bench/scan_timing.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/scan_timing.sh"
bench_layout "${FILES:-50000}" 50 50000 1024
WORK=$(readlink -m "${2:-$BUILD/bench-fat$SUFFIX}")
ROUNDS=${ROUNDS:-3}
QELDA=$BUILD/qelda
ENGINE=$BUILD/bench_scan_engine
[[ -x $QELDA && -x $ENGINE ]] || { echo "missing $QELDA or $ENGINE (build first)" >&2; exit 1; }
for tool in mkfs.fat mcopy sfdisk fls python3; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (packages: dosfstools mtools fdisk sleuthkit python3)" >&2; exit 1; }
done
export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1
mkdir -p "$WORK"

RAW=$WORK/disk.raw
VMDK=$WORK/disk.vmdk
LAYOUT="fat32 1 GiB at sector 2048, 4 KiB clusters; 5x2x5 folders x 1000 files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
[[ -n $SUFFIX ]] && LAYOUT="fat32 $VOL_MIB MiB at sector 2048, 4 KiB clusters; 5x2x5 folders x $PER_LEAF files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
START=2048

TMP=''
cleanup() {
  local rc=$?
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
  local t0 vol tree
  t0=$(now)
  rm -f "$WORK"/disk.* "$WORK/.made"
  # Made in memory when there is room (many small files are slow to make on a busy disk).
  TMP=$(mktemp -d /dev/shm/qelda-bench-XXXXXX 2>/dev/null) || TMP=$(mktemp -d "$WORK/make-XXXXXX")
  vol=$TMP/volume.img
  tree=$TMP/tree
  PER_LEAF=$PER_LEAF python3 - "$tree" <<'EOF'
import os, sys
root = sys.argv[1]
for a in range(5):
    for t in range(2):
        for b in range(5):
            folder = os.path.join(root, f"Area {a}", f"Team {t} of area {a}", f"Batch {b:02d}")
            os.makedirs(folder)
            line = f"area {a} team {t} batch {b:02d}: qelda scan bench text\n"
            for i in range(int(os.environ["PER_LEAF"])):
                name = f"{i:04d} Document of batch {b:02d}.txt"
                body = f"{name}\n" + line * (1 + i % 4)
                if i % 25 == 0:
                    body = (body * (6000 // len(body) + 1))[:6000]
                with open(os.path.join(folder, name), "w") as f:
                    f.write(body)
EOF
  truncate -s ${VOL_MIB}M "$vol"
  mkfs.fat -F 32 -s 8 -h $START -n QELDABENCH "$vol" >/dev/null
  local t1 filled
  t1=$(now)
  mcopy -s -i "$vol" "$tree"/* ::/
  filled=$(elapsed "$t1")

  # The disk: an MBR with the volume as partition 1 (type 0x0C), the volume copied in place.
  truncate -s $((VOL_MIB + 2))M "$RAW"
  printf 'label: dos\nstart=%d, size=%d, type=c\n' $START $((VOL_MIB * 2048)) | sfdisk -q "$RAW"
  dd if="$vol" of="$RAW" bs=1M seek=$((START / 2048)) conv=notrunc,sparse status=none
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW %d FLAT "disk.raw" 0\n' \
    $(($(stat -c %s "$RAW") / 512)) >"$VMDK"
  rm -rf --one-file-system "$TMP"
  TMP=''
  printf '%s\n' "$LAYOUT" >"$WORK/.made"
  echo "made $RAW in $(elapsed "$t0") s (mcopy of the tree: $filled s)"
}

if [[ ! -f $WORK/.made || $(<"$WORK/.made") != "$LAYOUT" ]]; then make_disk; fi

# ---------------------------------------------------------------- timing
time_quick_scans FAT32 "$VMDK" "$RAW"
