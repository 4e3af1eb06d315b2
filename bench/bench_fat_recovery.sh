#!/usr/bin/env bash
# Advanced-scan speed on a damaged multi-GiB FAT32 volume, against a sequential read of the
# same disk in the same run.
#
#   bench_fat_recovery.sh BUILD_DIR [WORK_DIR]
#
# Makes once (kept in WORK_DIR, default BUILD_DIR/bench-fat-recovery) a raw disk with an MBR
# and one FAT32 volume of VOL_MIB (default 4096) MiB at sector 2048 (mkfs.fat, 4 KiB
# clusters), filled with mtools: 240 folders (12 areas of 20) of 12 files of random bytes,
# 0.1 to 2.5 MiB each, about 3.5 GiB in all. Its answers (fls -r -p) are kept, then its boot
# sector and the backup at sector 6 are zeroed, so that the scan has to rebuild the geometry
# from the directory clusters; a monolithicFlat VMDK describes the disk.
# Then, with the disk in the page cache, in ROUNDS rounds (default 3), best of each:
#   cat disk.raw > /dev/null
#   qelda scan disk.vmdk --source 1 --kind advanced --list > /dev/null
# and prints the MB/s of both (the disk's size over the time) and their ratio.
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
bench_start bench-fat-recovery "$@"
ROUNDS=${ROUNDS:-3}
VOL_MIB=${VOL_MIB:-4096}
need_build qelda
need_tools "dosfstools mtools fdisk sleuthkit" mkfs.fat mmd mcopy sfdisk fls
export MTOOLS_SKIP_CHECK=1
mkdir -p "$WORK"

RAW=$WORK/disk.raw
VMDK=$WORK/disk.vmdk
LAYOUT="fat32 $VOL_MIB MiB at sector $START, 4 KiB clusters; 12x20 folders x 12 random files of 0.1-2.5 MiB; boot sectors zeroed"

make_disk() {
  local t0 src area folder i size
  t0=$(now)
  rm -f "$WORK"/disk.* "$WORK/.made" "$WORK/fls.before"
  mbr_disk "$RAW" c $((VOL_MIB * 2048))
  mkfs.fat -F 32 -s 8 -h $START --offset=$START -n QELDABENCH "$RAW" $((VOL_MIB * 1024)) >/dev/null
  local vol="$RAW@@$((START * 512))"
  src=$WORK/src.bin
  # The folders first, so that their clusters lie near the volume's start as a filled
  # volume's usually do; then the files.
  for area in $(seq -w 1 12); do
    mmd -i "$vol" "::/Area $area"
    for folder in $(seq -w 1 20); do mmd -i "$vol" "::/Area $area/Folder $folder"; done
  done
  for area in $(seq -w 1 12); do
    for folder in $(seq -w 1 20); do
      for i in $(seq -w 1 12); do
        size=$(((10#$area * 7919 + 10#$folder * 104729 + 10#$i * 224737) % 2500000 + 100000))
        head -c "$size" /dev/urandom >"$src"
        mcopy -i "$vol" "$src" "::/Area $area/Folder $folder/Recording $area-$folder-$i.dat"
      done
    done
  done
  rm -f "$src"
  fls -r -p -o $START "$RAW" >"$WORK/fls.before"
  # The damage: the boot sector and its backup.
  dd if=/dev/zero of="$RAW" bs=512 seek=$START count=1 conv=notrunc status=none
  dd if=/dev/zero of="$RAW" bs=512 seek=$((START + 6)) count=1 conv=notrunc status=none
  flat_vmdk "$VMDK" "$RAW"
  mark_made
  echo "made $RAW in $(elapsed "$t0") s"
}

disk_made || make_disk

# A checking run (not timed): the scan must list what the reader listed before the damage.
"$QELDA" scan "$VMDK" --source 1 --kind advanced --list >"$WORK/qelda.list"
awk -F'\t' '{ print tolower($NF) }' "$WORK/qelda.list" | sort >"$WORK/qelda.paths"
awk -F'\t' 'substr($2, 1, 1) != "$" && index($1, "*") == 0 && index($2, "(Volume Label Entry)") == 0 { print tolower($2) }' "$WORK/fls.before" | sort >"$WORK/fls.paths"
echo "items: qelda $(wc -l <"$WORK/qelda.paths"), fls before the damage $(wc -l <"$WORK/fls.paths")," \
     "listed by one only: $(comm -3 "$WORK/qelda.paths" "$WORK/fls.paths" | wc -l)"

cat "$RAW" >/dev/null  # both start from a warm cache
bytes=$(stat -c %s "$RAW")
r=999999 q=999999
for ((round = 1; round <= ROUNDS; round++)); do
  r=$(best_seconds "$r" cat "$RAW")
  q=$(best_seconds "$q" "$QELDA" scan "$VMDK" --source 1 --kind advanced --list)
done
mbs() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", b / s / 1e6 }'; }
printf '%-40s %9s %9s\n' "$((bytes >> 20)) MiB disk, best of $ROUNDS" seconds MB/s
printf '%-40s %9.3f %9s\n' "cat disk.raw" "$r" "$(mbs "$r")"
printf '%-40s %9.3f %9s\n' "qelda scan --kind advanced --list" "$q" "$(mbs "$q")"
awk -v r="$r" -v q="$q" 'BEGIN { printf "advanced scan / sequential read: %.2f\n", r / q }'
