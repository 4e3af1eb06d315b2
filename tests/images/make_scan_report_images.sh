#!/usr/bin/env bash
# Makes the disks of the scan-report checks (check_scan_reports.sh): an MBR disk holding one
# FAT16 volume (mkfs.fat, files by mtools), stored by qemu-img in the VMDK kinds whose reads
# can fail, and a disk on which only an exFAT volume made by mkfs.exfat is left.
#
#   make_scan_report_images.sh OUTDIR
#
# OUTDIR/fat.raw              the whole disk, one FAT16 partition at sector 2048
# OUTDIR/fat.vmdk             monolithicFlat by qemu-img: descriptor and fat-flat.vmdk
# OUTDIR/fat-cut.vmdk         the same descriptor over fat-cut-flat.vmdk, the flat extent cut
#                             to its first CUT sectors
# OUTDIR/fat-split.vmdk       twoGbMaxExtentFlat by hand: fat-s001.vmdk (sectors 0 to
#                             HALF-1) and fat-s002.vmdk (the rest)
# OUTDIR/fat-missing.vmdk     the same descriptor with its second extent's file missing
# OUTDIR/fat-stream.vmdk      streamOptimized by qemu-img (every grain compressed)
# OUTDIR/fat-slash.raw        fat.raw with the short names ABCDEFGH.TXT and SUBDIRAB and the
#                             long name "Report draft.txt" turned into ABC/EFGH.TXT,
#                             SUB/IRAB and "Report/draft.txt" by a byte each
# OUTDIR/fat.fls              fls -r -p of fat.raw; fat-slash.fls the same of fat-slash.raw
# OUTDIR/sizes                "SECTORS CUT HALF": the disk's sectors, the cut and the split
# OUTDIR/exfat-lost.raw       2048 zero sectors, then an exFAT volume of 65,536 sectors
# OUTDIR/exfat.dump           dump.exfat of that volume
# No root needed. Cached (tests/support/image_script.sh): made again from scratch only when
# this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1

need_tools "fdisk dosfstools mtools exfatprogs sleuthkit python3 qemu-utils" \
  sfdisk mkfs.fat mmd mcopy mkfs.exfat dump.exfat fls python3 qemu-img

image_script_fresh .scan-report-images

START=2048
VOLUME=30720                    # 15 MiB of FAT16
SECTORS=$((START + VOLUME))
CUT=$((START + VOLUME / 2))     # the cut copy keeps the first half of the volume
HALF=$((SECTORS / 2))
echo "$SECTORS $CUT $HALF" >"$OUT/sizes"

# ---------------------------------------------------------------- FAT16 disk
truncate -s $((SECTORS * 512)) "$OUT/fat.raw"
printf 'label: dos\nlabel-id: 0x5ca77e55\nstart=%d, size=%d, type=e\n' $START $VOLUME | run sfdisk -q "$OUT/fat.raw"
run mkfs.fat -F 16 --invariant -h $START -n SCANREPORT --offset=$START "$OUT/fat.raw" $((VOLUME / 2))
IMG="$OUT/fat.raw@@$((START * 512))"
python3 - "$WORK/files" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261207)
os.makedirs(os.path.join(root, "SUBDIRAB"))
os.makedirs(os.path.join(root, "Photos"))
def write(path, size):
    with open(os.path.join(root, path), "wb") as f:
        f.write(bytes(rng.randrange(1, 256) for _ in range(size)))
write("ABCDEFGH.TXT", 3000)
write("Report draft.txt", 2000)
write("SUBDIRAB/INNER.TXT", 5000)
# Files enough to reach past the volume's middle, where the cut copy stops.
for i in range(24):
    write("Photos/picture %02d.bin" % i, 400000 + rng.randrange(4096))
EOF
run mmd -i "$IMG" ::/SUBDIRAB ::/Photos
run mcopy -i "$IMG" "$WORK/files/ABCDEFGH.TXT" ::/ABCDEFGH.TXT
run mcopy -i "$IMG" "$WORK/files/Report draft.txt" "::/Report draft.txt"
run mcopy -i "$IMG" "$WORK/files/SUBDIRAB/INNER.TXT" ::/SUBDIRAB/INNER.TXT
for f in "$WORK/files/Photos/"*; do run mcopy -i "$IMG" "$f" "::/Photos/$(basename "$f")"; done
fls -r -p -o $START "$OUT/fat.raw" >"$OUT/fat.fls"
grep -q 'Photos/picture 23.bin' "$OUT/fat.fls" || die "fls does not list the last picture"

# ---------------------------------------------------------------- '/' inside names
# A short entry's name is 11 bytes, "ABCDEFGH" "TXT": one byte of it becomes '/'. The short
# names are upper case 8.3, so mtools gave them no long name. The long name "Report
# draft.txt" holds "t draf" as the second piece of its first long entry (UTF-16, 14 bytes
# into the entry): its space becomes '/'. (The files' bytes hold no zero, so each pattern
# can only be the entry's.)
cp "$OUT/fat.raw" "$OUT/fat-slash.raw"
python3 - "$OUT/fat-slash.raw" <<'EOF'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
for name, offset, byte in ((b"ABCDEFGHTXT", 0, 3), (b"SUBDIRAB   ", 0, 3), ("t draf".encode("utf-16-le"), 14, 2)):
    at = data.find(name)
    if at < 0 or data.find(name, at + 1) >= 0 or (at - offset) % 32 != 0:
        sys.exit("no one directory entry holding %r" % name)
    data[at + byte] = ord("/")
open(path, "wb").write(data)
EOF
fls -r -p -o $START "$OUT/fat-slash.raw" >"$OUT/fat-slash.fls"

# ---------------------------------------------------------------- VMDK kinds
run qemu-img convert -f raw -O vmdk -o subformat=monolithicFlat "$OUT/fat.raw" "$OUT/fat.vmdk"
[[ -f $OUT/fat-flat.vmdk ]] || die "qemu-img made no fat-flat.vmdk"
sed 's/"fat-flat.vmdk"/"fat-cut-flat.vmdk"/' "$OUT/fat.vmdk" >"$OUT/fat-cut.vmdk"
grep -q '"fat-cut-flat.vmdk"' "$OUT/fat-cut.vmdk" || die "the descriptor names no fat-flat.vmdk"
head -c $((CUT * 512)) "$OUT/fat-flat.vmdk" >"$OUT/fat-cut-flat.vmdk"

dd if="$OUT/fat.raw" of="$OUT/fat-s001.vmdk" bs=512 count=$HALF status=none
dd if="$OUT/fat.raw" of="$OUT/fat-s002.vmdk" bs=512 skip=$HALF status=none
for name in split:fat-s002.vmdk missing:fat-gone.vmdk; do
  {
    printf '# Disk DescriptorFile\nversion=1\nCID=5ca77e55\nparentCID=ffffffff\ncreateType="twoGbMaxExtentFlat"\n\n'
    printf 'RW %d FLAT "fat-s001.vmdk" 0\nRW %d FLAT "%s" 0\n' $HALF $((SECTORS - HALF)) "${name#*:}"
    printf '\nddb.virtualHWVersion = "4"\nddb.geometry.cylinders = "%d"\nddb.geometry.heads = "16"\n' $((SECTORS / 1008 + 1))
    printf 'ddb.geometry.sectors = "63"\nddb.adapterType = "ide"\n'
  } >"$OUT/fat-${name%%:*}.vmdk"
done

run qemu-img convert -f raw -O vmdk -o subformat=streamOptimized "$OUT/fat.raw" "$OUT/fat-stream.vmdk"

# ---------------------------------------------------------------- a lost exFAT volume
truncate -s $((65536 * 512)) "$WORK/exfat.vol"
run mkfs.exfat -L LOSTEXFAT "$WORK/exfat.vol"
dump.exfat "$WORK/exfat.vol" >"$OUT/exfat.dump" 2>&1 || die "dump.exfat failed"
truncate -s $((START * 512)) "$OUT/exfat-lost.raw"
cat "$WORK/exfat.vol" >>"$OUT/exfat-lost.raw"

image_script_done
