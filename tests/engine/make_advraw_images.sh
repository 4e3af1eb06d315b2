#!/usr/bin/env bash
# Makes the damaged volumes on which the signature search inside the advanced scans is held
# against what was written: an NTFS volume (mkntfs, filled through ntfs-3g) and a FAT32 volume
# (mkfs.fat, filled with mtools). Each holds pictures, archives and pages (the carving corpus of
# tests/carve/make_carve_corpus.sh and more made here by Pillow, ImageMagick and zip) written
# between live files; the media are deleted, then the volume's boot sector and its backup are
# zeroed.
#
#   make_advraw_images.sh OUTDIR
#
#   OUTDIR/ntfs.vmdk, OUTDIR/fat32.vmdk, OUTDIR/fat12.vmdk  flat disks: an MBR naming one
#                      partition at sector 2048 (type 0x07, 0x0C, 0x01), then the damaged volume
#                      (ntfs.img, fat32.img, and fat12.img of 1 MiB holding a dozen media files)
#   OUTDIR/NAME.deleted  "MD5<TAB>SIZE<TAB>FILE" of each deleted media file
#   OUTDIR/NAME.live     "MD5<TAB>SIZE<TAB>PATH" of each live file
# Needs root and /dev/fuse (ntfs-3g mounts the volume file to fill it).
# Cached (tests/support/image_script.sh): made again from scratch only when this script or the
# corpus script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"

CARVE_SCRIPT=$HERE/../carve/make_carve_corpus.sh
image_script_start "$@" -- "$CARVE_SCRIPT"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0

need_tools "ntfs-3g fuse dosfstools mtools imagemagick zip" mkntfs ntfs-3g fusermount mkfs.fat mcopy mmd mdel convert zip md5sum
pillow_python
image_script_fresh
MEDIA=$WORK/media
mkdir -p "$MEDIA"

# ---------------------------------------------------------------- the media
bash "$CARVE_SCRIPT" "$WORK/carve" >>"$WORK/tools.log" 2>&1 || die "the carving corpus could not be made"
# The corpus files of the types searched for (jpg, tif, bmp, gif, png, zip, html).
while IFS=$'\t' read -r name type _; do
  case $type in 14 | 15 | 16 | 17 | 18 | 19 | 52 | 139 | 140 | 141 | 143) cp "$WORK/carve/$name" "$MEDIA/$name" ;; esac
done <"$WORK/carve/manifest"

# More of each kind, of many sizes: from a few hundred bytes to a few hundred KiB.
"$PY" - "$MEDIA" <<'PY'
import random, sys
from PIL import Image
out = sys.argv[1]
random.seed(11)

def picture(w, h, noise):
    img = Image.new("RGB", (w, h))
    img.putdata([((x * 3 + random.randrange(noise)) % 256, (y * 5 + random.randrange(noise)) % 256,
                  (x + y + random.randrange(noise)) % 256) for y in range(h) for x in range(w)])
    return img

for i in range(8):
    w, h = 40 + 47 * i, 30 + 31 * i
    picture(w, h, 1 + 40 * i).save(f"{out}/photo{i}.jpg", quality=70 + 3 * i)
    picture(h, w, 1 + 30 * i).save(f"{out}/image{i}.png")
    picture(w // 2 + 8, h // 2 + 8, 1 + 20 * i).convert("P").save(f"{out}/anim{i}.gif")
    picture(w // 2 + 3, h // 3 + 5, 16).save(f"{out}/bitmap{i}.bmp")
    picture(w // 3 + 9, h // 3 + 7, 1 + 9 * i).save(f"{out}/scan{i}.tif")
PY
for i in $(seq 0 3); do
  convert -size $((60 + 40 * i))x$((40 + 30 * i)) plasma:fractal -seed $((20 + i)) "$MEDIA/plasma$i.jpg"
  convert -size $((30 + 20 * i))x$((20 + 10 * i)) gradient:navy-orange -define tiff:endian=msb "$MEDIA/magick$i.tif"
done
for i in $(seq 0 7); do
  mkdir -p "$WORK/zip$i"
  head -c $((700 + 9000 * i)) /dev/urandom >"$WORK/zip$i/data.bin"
  seq -f "archive $i line %g" 1 $((20 + 300 * i)) >"$WORK/zip$i/list.txt"
  (cd "$WORK/zip$i" && zip -q -X "$MEDIA/archive$i.zip" data.bin list.txt)
  # Pages end with their closing tag and a CR LF.
  {
    printf '<!DOCTYPE html>\r\n<html><head><title>Page %d</title></head>\r\n<body>\r\n' "$i"
    seq -f "<p>paragraph %g of page $i</p>" 1 $((10 + 150 * i)) | sed 's/$/\r/'
    printf '</body>\r\n</html>\r\n'
  } >"$MEDIA/page$i.html"
done
ls "$MEDIA" | sort >"$WORK/media.list"
(( $(wc -l <"$WORK/media.list") >= 80 )) || die "too few media files: $(wc -l <"$WORK/media.list")"

manifest() {  # manifest DIR: "MD5 SIZE NAME" of each file under DIR, by path
  (cd "$1" && find . -type f -printf '%P\n' | sort | while IFS= read -r f; do
    printf '%s\t%s\t%s\n' "$(md5sum <"$f" | cut -d' ' -f1)" "$(stat -c %s "$f")" "$f"
  done)
}
manifest "$MEDIA" >"$WORK/media.manifest"

write_mbr() {  # write_mbr FILE TYPE SECTORS: 2048 sectors, one partition at 2048
  "$PY" - "$@" <<'PY'
import struct, sys
mbr = bytearray(2048 * 512)
mbr[0x1BE + 4] = int(sys.argv[2], 0)
struct.pack_into("<II", mbr, 0x1BE + 8, 2048, int(sys.argv[3]))
mbr[510:512] = b"\x55\xaa"
open(sys.argv[1], "wb").write(mbr)
PY
}
write_disk() {  # write_disk NAME TYPE: the MBR file and a flat descriptor naming it and the volume
  local name=$1 sectors
  sectors=$(($(stat -c %s "$OUT/$name.img") / 512))
  write_mbr "$OUT/$name-mbr.bin" "$2" "$sectors"
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW 2048 FLAT "%s-mbr.bin" 0\nRW %d FLAT "%s.img" 0\n' \
    "$name" "$sectors" "$name" >"$OUT/$name.vmdk"
}
zero_sector() {  # zero_sector IMAGE SECTOR
  dd if=/dev/zero of="$1" bs=512 seek="$2" count=1 conv=notrunc status=none
}

# ---------------------------------------------------------------- NTFS
# A file smaller than its MFT record would stay inside it: grown past it and cut back, it keeps
# a cluster of its own, its bytes at the cluster's start.
plant_ntfs() {  # source destination
  local size
  size=$(stat -c %s "$1")
  cat "$1" >"$2"
  if ((size < 4096)); then
    head -c 8192 /dev/zero >>"$2"
    truncate -s "$size" "$2"
  fi
}

img=$OUT/ntfs.img
log "making $img"
truncate -s $((96 * 1024 * 1024)) "$img"
mkntfs -F -Q -q -c 4096 -L advraw "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"
mount_ntfs "$img"
mkdir -p "$MNT/live" "$MNT/media"
i=0
while IFS= read -r name; do
  # Live neighbours of one to three clusters keep the deleted files apart.
  head -c $(((i % 3 + 1) * 4096 - 100)) /dev/urandom >"$MNT/live/k$i.bin"
  plant_ntfs "$MEDIA/$name" "$MNT/media/$name"
  i=$((i + 1))
done <"$WORK/media.list"
release_volume
mount_ntfs "$img"
manifest "$MNT/live" >"$OUT/ntfs.live"
rm -r "$MNT/media"
release_volume
cp "$WORK/media.manifest" "$OUT/ntfs.deleted"
# The boot sector and its backup in the volume's last sector.
zero_sector "$img" 0
zero_sector "$img" $(($(stat -c %s "$img") / 512 - 1))
write_disk ntfs 0x07

# ---------------------------------------------------------------- FAT32
# Big enough that its FAT's length (1200 sectors) tells FAT32 from FAT16 when the geometry is
# worked out from the directory clusters.
img=$OUT/fat32.img
log "making $img"
mkfs.fat -F 32 -s 8 -n ADVRAW -C "$img" $((600 * 1024)) >>"$WORK/tools.log" 2>&1 || die "mkfs.fat failed"
mmd -i "$img" ::/live ::/media
i=0
while IFS= read -r name; do
  head -c $(((i % 3 + 1) * 4096 - 100)) /dev/urandom >"$WORK/live-k$i.bin"
  mcopy -i "$img" "$WORK/live-k$i.bin" "::/live/k$i.bin"
  mcopy -i "$img" "$MEDIA/$name" "::/media/$name"
  i=$((i + 1))
done <"$WORK/media.list"
mkdir -p "$WORK/fat-live"
for f in "$WORK"/live-k*.bin; do cp "$f" "$WORK/fat-live/${f##*/live-}"; done
manifest "$WORK/fat-live" >"$OUT/fat32.live"
mdel -i "$img" "::/media/*"
cp "$WORK/media.manifest" "$OUT/fat32.deleted"
zero_sector "$img" 0
zero_sector "$img" 6
write_disk fat32 0x0C

# ---------------------------------------------------------------- a small FAT12 volume
# Below 3000 sectors: swept one cluster at a time. The corpus's pictures that fit, deleted; its
# boot sector (FAT12 keeps no backup) zeroed.
img=$OUT/fat12.img
log "making $img"
mkfs.fat -F 12 -s 4 -n ADVRAW12 -C "$img" 1024 >>"$WORK/tools.log" 2>&1 || die "mkfs.fat failed"
mmd -i "$img" ::/live ::/media
rm -rf "$WORK/small" "$WORK/small-live"
mkdir -p "$WORK/small" "$WORK/small-live"
i=0
for name in pillow_exif.jpg magick.jpg magick_progressive.jpg pillow_named.png magick_text_after_data.png pillow.gif \
            magick_animated.gif pillow.bmp magick_v5.bmp pillow_le.tif plain.zip html5.html; do
  head -c $(((i % 3 + 1) * 2048 - 100)) /dev/urandom >"$WORK/small-live/k$i.bin"
  mcopy -i "$img" "$WORK/small-live/k$i.bin" "::/live/k$i.bin"
  cp "$MEDIA/$name" "$WORK/small/$name"
  mcopy -i "$img" "$MEDIA/$name" "::/media/$name"
  i=$((i + 1))
done
manifest "$WORK/small-live" >"$OUT/fat12.live"
manifest "$WORK/small" >"$OUT/fat12.deleted"
mdel -i "$img" "::/media/*"
zero_sector "$img" 0
write_disk fat12 0x01

image_script_done
