#!/usr/bin/env bash
# Makes the disks the command-line checks run `qelda` on, with real tools, and the answers
# beside them.
#
#   make_cli_disks.sh OUTDIR
#
#   OUTDIR/range-disk.vmdk     an MBR disk (sfdisk) of two FAT volumes (mkfs.fat, mtools):
#                              FAT32 at sector 2048, FAT16 after it; each holds PNG pictures
#                              and HTML pages (ending in CR LF, in LF and in nothing), written
#                              one after the other so that each lies in one run; then three
#                              more pages on the FAT32 volume, deleted (p1-deleted-*)
#   OUTDIR/range-files.tsv     one line per file: name, first sector on the disk, size,
#                              partition (1 or 2); sorted by sector
#   OUTDIR/range/NAME          the files as written
#   OUTDIR/exfat-damaged.vmdk  an MBR disk (sfdisk) with an exFAT volume (mkfs.exfat, filled
#                              through exfat-fuse) as partition 1, type 07, at sector 2048,
#                              whose first sector was then zeroed (its backup, 12 sectors in,
#                              is left as mkfs.exfat wrote it)
#   OUTDIR/exfat-damaged.fls   fls -r -p -l of that volume before the damage
#   OUTDIR/ntfs-html.vmdk      an MBR disk (sfdisk) with an NTFS volume (mkntfs, filled through
#                              ntfs-3g) as partition 1 at sector 2048, holding a few files and,
#                              deleted, the HTML pages OUTDIR/ntfs-html/NAME (ending in CR LF, in
#                              LF and in nothing; none small enough to live in its MFT record)
#   OUTDIR/card.vmdk           an MBR disk (sfdisk) with a FAT16 volume (mkfs.fat, mtools) as a
#                              camera card: DCIM/100CANON/IMG_0001.JPG ... IMG_0004.JPG (short
#                              names in capitals, as cameras write them) and text files named in
#                              every case (notes.txt, README.TXT, Mixed.Txt, long names with É/é)
#   OUTDIR/card/PATH           the card's files as written
#   OUTDIR/card.fls            fls -r -p of the card's volume
# Needs root, /dev/fuse and a free loop device for the exFAT volume.
# Cached (tests/support/image_script.sh): made again from scratch only when this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1

need_tools "dosfstools mtools exfatprogs exfat-fuse ntfs-3g sleuthkit fdisk qemu-utils python3" \
  mkfs.fat mcopy mmd mdel mkfs.exfat mount.exfat-fuse mkntfs ntfs-3g losetup sfdisk fls qemu-img python3
image_script_fresh
mkdir -p "$OUT/range"

# ---------------------------------------------------------------- the range disk
# Pictures of noise (PNG, many sectors each) and pages with each line end, the same bytes
# every time.
log "making the range disk"
python3 - "$OUT/range" <<'EOF'
import struct, sys, zlib
out = sys.argv[1]
def png(path, w, h, seed):
    x, rows = seed, bytearray()
    for _ in range(h):
        rows.append(0)
        for _ in range(w * 3):
            x = (x * 1103515245 + 12345) & 0x7FFFFFFF
            rows.append(x >> 16 & 0xFF)
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")
    open(path, "wb").write(data)
def page(path, title, end, lines):
    body = "".join(f"<p>{title} paragraph {i:04d}</p>{end or chr(10)}" for i in range(lines))
    text = f"<!DOCTYPE html>{end}<html><head><title>{title}</title></head>{end}<body>{end}{body}</body>{end}</html>{end}"
    open(path, "wb").write(text.encode())
for p in (1, 2):
    for k in range(3):
        png(f"{out}/p{p}-picture{k}.png", 120 + 10 * k + p, 90 + k, 1000 * p + k)
    page(f"{out}/p{p}-crlf.html", f"crlf {p}", "\r\n", 150 + p)
    page(f"{out}/p{p}-lf.html", f"lf {p}", "\n", 170 + p)
    page(f"{out}/p{p}-none.html", f"none {p}", "", 90 + p)
# Pages that are deleted from the FAT32 volume once written, leaving their data in free clusters.
page(f"{out}/p1-deleted-crlf.html", "deleted crlf", "\r\n", 60)
page(f"{out}/p1-deleted-lf.html", "deleted lf", "\n", 75)
page(f"{out}/p1-deleted-none.html", "deleted none", "", 40)
EOF

RAW=$WORK/range-disk.raw
P1_START=2048 P1_SECTORS=$((40 * 2048)) P2_SECTORS=$((16 * 2048))
P2_START=$((P1_START + P1_SECTORS))
truncate -s $(((P2_START + P2_SECTORS + 2048) * 512)) "$RAW"
printf 'label: dos\nstart=%d, size=%d, type=c\nstart=%d, size=%d, type=6\n' \
  "$P1_START" "$P1_SECTORS" "$P2_START" "$P2_SECTORS" | run sfdisk -q "$RAW"
for p in 1 2; do
  start=$((p == 1 ? P1_START : P2_START)) sectors=$((p == 1 ? P1_SECTORS : P2_SECTORS))
  vol=$WORK/p$p.img
  truncate -s $((sectors * 512)) "$vol"
  if ((p == 1)); then run mkfs.fat -F 32 -s 1 -n RANGEP1 "$vol"; else run mkfs.fat -F 16 -s 4 -n RANGEP2 "$vol"; fi
  run mmd -i "$vol" ::/media
  # One after the other: each file in one run of clusters, in this order.
  for f in "$OUT/range/p$p"-[!d]*; do run mcopy -i "$vol" "$f" ::/media/; done
  if ((p == 1)); then
    run mmd -i "$vol" ::/trash
    for f in "$OUT/range/p$p"-deleted-*; do run mcopy -i "$vol" "$f" ::/trash/; done
    run mdel -i "$vol" '::/trash/*'
  fi
  dd if="$vol" of="$RAW" bs=512 seek="$start" conv=notrunc,sparse status=none
  rm -f "$vol"
done
# Where each file lies: its bytes are found once on the disk, at a sector's start.
python3 - "$RAW" "$OUT/range" >"$OUT/range-files.tsv" <<'EOF'
import os, sys
disk = open(sys.argv[1], "rb").read()
rows = []
for name in sorted(os.listdir(sys.argv[2])):
    data = open(os.path.join(sys.argv[2], name), "rb").read()
    at = disk.find(data)
    if at < 0 or at % 512 or disk.find(data, at + 1) >= 0:
        sys.exit(f"{name}: not found once at a sector's start")
    rows.append((at // 512, name, len(data), name[1]))
for sector, name, size, part in sorted(rows):
    print(f"{name}\t{sector}\t{size}\t{part}")
EOF
run qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$OUT/range-disk.vmdk"
rm -f "$RAW"

# ---------------------------------------------------------------- the damaged exFAT disk
log "making the damaged exFAT disk"
VOL=$WORK/exfat.img
VOL_SECTORS=$((32 * 2048))
truncate -s $((VOL_SECTORS * 512)) "$VOL"
attach_loop "$VOL"
run mkfs.exfat -L DAMAGED -c 4K "$LOOP"
mount_fuse mount.exfat-fuse "$LOOP"
mkdir -p "$MNT/Docs/Reports" "$MNT/Pictures" "$MNT/Ελληνικά"
printf 'an exFAT volume whose boot sector is gone\n' >"$MNT/readme.txt"
seq -f 'report line %06g' 1 3000 >"$MNT/Docs/Reports/report.txt"
seq -f 'note %06g' 1 200 >"$MNT/Docs/notes.txt"
cp "$OUT/range/p1-picture0.png" "$MNT/Pictures/picture.png"
printf 'unicode\n' >"$MNT/Ελληνικά/Ünïcödé.txt"
: >"$MNT/empty.txt"
seq -f 'gone %06g' 1 500 >"$MNT/deleted.txt"
sync
rm "$MNT/deleted.txt"
sync
umount "$MNT"
losetup -d "$LOOP"; LOOP=''
timeout 60 fls -f exfat -r -p -l "$VOL" >"$OUT/exfat-damaged.fls"
grep -q 'Docs/Reports/report.txt' "$OUT/exfat-damaged.fls" || die "fls does not list the exFAT volume's files"
RAW=$WORK/exfat-damaged.raw
truncate -s $(((VOL_SECTORS + 4096) * 512)) "$RAW"
printf 'label: dos\nstart=2048, size=%d, type=7\n' "$VOL_SECTORS" | run sfdisk -q "$RAW"
dd if="$VOL" of="$RAW" bs=1M seek=1 conv=notrunc,sparse status=none
dd if=/dev/zero of="$RAW" bs=512 seek=2048 count=1 conv=notrunc status=none
run qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$OUT/exfat-damaged.vmdk"
rm -f "$RAW" "$VOL"

# ---------------------------------------------------------------- deleted pages on NTFS
log "making the NTFS disk of deleted pages"
mkdir -p "$OUT/ntfs-html"
python3 - "$OUT/ntfs-html" <<'EOF'
import sys
out = sys.argv[1]
for k, (name, end) in enumerate([("crlf", "\r\n"), ("lf", "\n"), ("none", "")] * 3):
    lines = 40 + 37 * k
    body = "".join(f"<li>{name} page {k} item {i:04d}</li>{end or chr(10)}" for i in range(lines))
    text = f"<html>{end}<head><title>Page {k}</title></head>{end}<body><ul>{end}{body}</ul></body>{end}</html>{end}"
    open(f"{out}/page{k}-{name}.html", "wb").write(text.encode())
EOF
VOL=$WORK/ntfs.img
VOL_SECTORS=$((16 * 2048))
truncate -s $((VOL_SECTORS * 512)) "$VOL"
run mkntfs -F -Q -q -c 4096 -L qeldahtml "$VOL"
mount_ntfs "$VOL"
mkdir -p "$MNT/Docs" "$MNT/trash"
seq -f 'kept line %06g' 1 2000 >"$MNT/Docs/kept.txt"
cp "$OUT/ntfs-html"/*.html "$MNT/trash/"
sync
rm -r "$MNT/trash"
sync
release_volume
RAW=$WORK/ntfs-html.raw
truncate -s $(((VOL_SECTORS + 4096) * 512)) "$RAW"
printf 'label: dos\nstart=2048, size=%d, type=7\n' "$VOL_SECTORS" | run sfdisk -q "$RAW"
dd if="$VOL" of="$RAW" bs=1M seek=1 conv=notrunc,sparse status=none
run qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$OUT/ntfs-html.vmdk"
rm -f "$RAW" "$VOL"

# ---------------------------------------------------------------- the camera card
log "making the camera card"
mkdir -p "$OUT/card/DCIM/100CANON"
for i in 1 2 3 4; do seq -f "picture $i line %06g" 1 $((i * 400)) >"$OUT/card/DCIM/100CANON/IMG_000$i.JPG"; done
for name in notes.txt README.TXT Mixed.Txt 'Été à la mer.txt' 'ÉTÉ 2024 PHOTO.TXT' 'report.doc'; do
  printf 'the file %s\n' "$name" >"$OUT/card/$name"
done
VOL=$WORK/card.img
truncate -s 16M "$VOL"
run mkfs.fat -F 16 -n CARD "$VOL"
run mmd -i "$VOL" ::/DCIM ::/DCIM/100CANON
run mcopy -i "$VOL" "$OUT/card/DCIM/100CANON"/IMG_000?.JPG ::/DCIM/100CANON/
for f in "$OUT/card"/*.*; do run mcopy -i "$VOL" "$f" ::/; done
timeout 60 fls -r -p "$VOL" >"$OUT/card.fls"
grep -q $'\tDCIM/100CANON/IMG_0001.JPG$' "$OUT/card.fls" || die "fls does not list the card's pictures in capitals"
RAW=$WORK/card.raw
truncate -s 20M "$RAW"
printf 'label: dos\nstart=2048, size=32768, type=6\n' | run sfdisk -q "$RAW"
dd if="$VOL" of="$RAW" bs=1M seek=1 conv=notrunc,sparse status=none
run qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$OUT/card.vmdk"
rm -f "$RAW" "$VOL"

image_script_done
