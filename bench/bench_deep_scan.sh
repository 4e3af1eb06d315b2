#!/usr/bin/env bash
# Deep (advanced) scan of a damaged NTFS volume beside a plain sequential read of the same
# volume, in the same run and from the same cache state.
#
#   bench_deep_scan.sh BUILD_DIR [WORK_DIR]
#
# Makes once (kept in WORK_DIR, default BUILD_DIR/bench-deep) a 4 GiB volume with mkntfs
# (4096-byte clusters) and fills about 2.4 GiB of it through ntfs-3g: 200 folders of 150
# files from 1 KB to 120 KB of random bytes, and 8 files of 100 MB; then a tenth of the
# small files are deleted. Its boot sector, the backup boot sector, $MFT's record 0 and the
# copy of it in $MFTMirr are then zeroed, so that neither the quick scan nor fls can read it.
# The volume is partition 1 of a flat VMDK (an MBR, then the volume file at sector 2048).
# Then, with the volume in the page cache before each (best of ROUNDS, default 5):
#   cat volume.img > /dev/null
#   qelda scan disk.vmdk --source 1 --kind advanced --fs ntfs
# and prints the seconds and MB/s of each and their ratio, then the medians of ROUNDS paired
# rounds (cat, then the scan) and of their ratios, with the files the scan found
# beside those fls listed before the damage.
# Needs root and /dev/fuse for the making step (ntfs-3g mounts the volume file).
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
bench_start bench-deep "$@"
ROUNDS=${ROUNDS:-5}
need_build qelda
need_tools "ntfs-3g fuse sleuthkit python3" mkntfs ntfs-3g fusermount fls python3
mkdir -p "$WORK"

VOL=$WORK/volume.img
VMDK=$WORK/disk.vmdk
VOL_MIB=4096
LAYOUT="ntfs $VOL_MIB MiB, 4096-byte clusters; 200 folders x 150 files of 1 KB to 120 KB, 8 of 100 MB; 1 in 10 small files deleted; boot sectors, record 0 and its mirror zeroed"

make_volume() {
  local t0
  t0=$(now)
  rm -rf "$VOL" "$WORK"/disk.* "$WORK"/mbr.bin "$WORK"/fls.before "$WORK/.made" "${WORK:?}/mnt" "$WORK/tools.log"
  MNT=$WORK/mnt
  mkdir -p "$MNT"
  truncate -s ${VOL_MIB}M "$VOL"
  logged "$WORK/tools.log" mkntfs -F -Q -q -c 4096 -L qeldadeep "$VOL"
  mount_ntfs "$VOL" "$WORK/tools.log"
  in_group python3 - "$MNT" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(11)
for f in range(200):
    folder = os.path.join(root, f"group {f // 20:02d}", f"folder {f:03d}")
    os.makedirs(folder, exist_ok=True)
    for i in range(150):
        with open(os.path.join(folder, f"file {i:03d}.bin"), "wb") as out:
            out.write(os.urandom(random.randint(1000, 120_000) if i % 10 else random.randint(1000, 8_000)))
os.makedirs(os.path.join(root, "large"))
for i in range(8):
    with open(os.path.join(root, "large", f"large {i}.bin"), "wb") as out:
        for _ in range(100):
            out.write(os.urandom(1 << 20))
for f in range(200):
    folder = os.path.join(root, f"group {f // 20:02d}", f"folder {f:03d}")
    for i in range(5, 150, 10):
        os.remove(os.path.join(folder, f"file {i:03d}.bin"))
PY
  unmount_ntfs
  rmdir "$MNT"
  MNT=''
  fls -r -p -u "$VOL" | grep -c '^r/r' >"$WORK/fls.before"
  python3 - "$VOL" <<'PY'
import os, struct, sys
path = sys.argv[1]
with open(path, "r+b") as f:
    boot = f.read(512)
    code = boot[0x0D]
    spc = code if code < 0x80 else 1 << (256 - code)
    mft, mirror = struct.unpack_from("<QQ", boot, 0x30)
    for at, length in ((0, 512), (os.path.getsize(path) - 512, 512), (mft * spc * 512, 1024), (mirror * spc * 512, 1024)):
        f.seek(at)
        f.write(bytes(length))
PY
  mbr_head "$WORK/mbr.bin" 7 $((VOL_MIB * 2048))
  flat_vmdk "$VMDK" "$WORK/mbr.bin" "$VOL"
  mark_made
  echo "made $VOL in $(elapsed "$t0" %.0f) s"
}

disk_made || make_volume

# Best of ROUNDS, each after a read that puts the volume in the page cache.
best() {
  local best='' t0 t
  for _ in $(seq 1 "$ROUNDS"); do
    cat "$VOL" >/dev/null
    t0=$(now)
    "$@" >/dev/null 2>&1
    t=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
    if [[ -z $best ]] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  printf '%s' "$best"
}
read_volume() { cat "$VOL" >/dev/null; }
deep_scan() { "$QELDA" scan "$VMDK" --source 1 --kind advanced --fs ntfs; }

cat_s=$(best read_volume)
scan_s=$(best deep_scan)
found=$("$QELDA" scan "$VMDK" --source 1 --kind advanced --fs ntfs --list | awk -F'\t' '$1 == "f" && $4 !~ /^\$/ && $4 !~ /\/\$/' | wc -l)
mbps() { awk -v s="$1" -v m="$VOL_MIB" 'BEGIN { printf "%.0f", m * 1.048576 / s }'; }
echo "volume: $LAYOUT"
printf '%-46s %8s %7s\n' "" seconds MB/s
printf '%-46s %8s %7s\n' "cat volume.img > /dev/null" "$cat_s" "$(mbps "$cat_s")"
printf '%-46s %8s %7s\n' "qelda scan --kind advanced --fs ntfs" "$scan_s" "$(mbps "$scan_s")"
awk -v c="$cat_s" -v s="$scan_s" 'BEGIN { printf "scan throughput / read throughput: %.2f (best of each)\n", c / s }'
# shellcheck source=bench/paired_rounds.sh
source "$BENCH/paired_rounds.sh"
paired_rounds "$ROUNDS" "$VOL" "cat volume.img > /dev/null" read_volume -- "qelda scan --kind advanced --fs ntfs" deep_scan
echo "files listed by the scan (deleted ones included): $found; live files fls listed before the damage: $(<"$WORK/fls.before")"
