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

if [[ $# -lt 1 ]]; then echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
# FILES (default 100000): the files of the volume, spread over its 100 leaf folders.
# shellcheck source=bench/scan_timing.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/scan_timing.sh"
bench_layout "${FILES:-100000}" 100 100000 1024
WORK=$(readlink -m "${2:-$BUILD/bench-exfat$SUFFIX}")
ROUNDS=${ROUNDS:-3}
QELDA=$BUILD/qelda
ENGINE=$BUILD/bench_scan_engine
[[ -x $QELDA && -x $ENGINE ]] || { echo "missing $QELDA or $ENGINE (build first)" >&2; exit 1; }
for tool in mkfs.exfat mount.exfat-fuse losetup sfdisk fls python3; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (packages: exfatprogs exfat-fuse sleuthkit fdisk python3)" >&2; exit 1; }
done
export LC_ALL=C.UTF-8 TZ=UTC
mkdir -p "$WORK"
# The engine's work files go beside the disk, not into the user's cache.
export XDG_CACHE_HOME=$WORK/cache

RAW=$WORK/disk.raw
VMDK=$WORK/disk.vmdk
LAYOUT="exfat 1 GiB at sector 2048, 4 KiB clusters; 5x4x5 folders x 1000 files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
[[ -n $SUFFIX ]] && LAYOUT="exfat $VOL_MIB MiB at sector 2048, 4 KiB clusters; 5x4x5 folders x $PER_LEAF files named NNNN Document of batch BB.txt; 1 in 25 of 6000 bytes"
START=2048

# Whatever is held when the script ends, by success, failure or signal, is released here.
TMP='' MNT='' LOOP='' FILL_PID=''
cleanup() {
  local rc=$?
  if [[ -n $FILL_PID ]]; then kill -- -"$FILL_PID" 2>/dev/null || true; wait "$FILL_PID" 2>/dev/null || true; fi
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then umount "$MNT" 2>/dev/null || umount -l "$MNT" || true; fi
  if [[ -n $LOOP ]]; then losetup -d "$LOOP" || true; fi
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
  LOOP=$(losetup -f --show "$vol")
  mkfs.exfat -c 4K -L qeldabench "$LOOP" >"$TMP/tools.log" 2>&1 || { cat "$TMP/tools.log" >&2; exit 1; }
  mount.exfat-fuse "$LOOP" "$MNT" >>"$TMP/tools.log" 2>&1 || { cat "$TMP/tools.log" >&2; exit 1; }

  # One python process per four leaf folders, four at once.
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
  printf '%s\n' "${leaves[@]}" >"$TMP/leaves"
  # In a process group of its own, so that a signal ends the fill at once.
  PER_LEAF=$PER_LEAF setsid xargs -a "$TMP/leaves" -P 4 -n 4 python3 "$TMP/fill.py" "$MNT" &
  FILL_PID=$!
  wait "$FILL_PID"
  FILL_PID=''
  local filled
  filled=$(elapsed "$t0")
  umount "$MNT"  # fuseblk: returns once the driver has written everything
  losetup -d "$LOOP"
  LOOP=''

  # The disk: an MBR with the volume as partition 1 (type 7), the volume copied in place.
  truncate -s $((VOL_MIB + 2))M "$RAW"
  printf 'label: dos\nstart=%d, size=%d, type=7\n' $START $((VOL_MIB * 2048)) | sfdisk -q "$RAW"
  dd if="$vol" of="$RAW" bs=1M seek=$((START / 2048)) conv=notrunc,sparse status=none
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW %d FLAT "disk.raw" 0\n' \
    $(($(stat -c %s "$RAW") / 512)) >"$VMDK"
  rm -rf --one-file-system "$TMP"
  TMP='' MNT=''
  printf '%s\n' "$LAYOUT" >"$WORK/.made"
  echo "made $RAW in $(elapsed "$t0") s (filling through exfat-fuse: $filled s)"
}

if [[ ! -f $WORK/.made || $(<"$WORK/.made") != "$LAYOUT" ]]; then make_disk; fi

# ---------------------------------------------------------------- timing
time_quick_scans exFAT "$VMDK" "$RAW"
