#!/usr/bin/env bash
# Makes a small NTFS volume, with mkntfs and ntfs-3g, whose files are larger than the volume
# itself (legal when they are sparse or compressed), beside two deleted files, and the
# answers of The Sleuth Kit for it.
#
#   make_ntfs_size_images.sh OUTDIR
#
#   OUTDIR/ntfs-sizes.img   a 64 MiB volume of 4096-byte clusters (no partition table):
#       big-sparse.bin        about 94 MB, four 7000-byte pieces 30 MiB apart, holes between
#       packed/big-text.txt   about 70 MB of text, stored compressed
#       small.txt             a plain live file
#       gone-1.txt, gone-2.txt  deleted, each a single record
#       gone-sparse.bin       deleted, sparse as big-sparse.bin
#       packed/gone-packed.bin  deleted, about 70 MB stored compressed: text pieces 22 MiB apart
#                             (a deleted compressed file of text alone would have lost the
#                             records that continue its runs, and its name with them)
#   OUTDIR/ntfs-sizes.vmdk  a monolithicFlat descriptor naming it
#   OUTDIR/ntfs-sizes-disk.vmdk  a flat disk of two extents: an MBR track (ntfs-sizes.mbr)
#                           naming the volume as its partition at sector 2048, then the volume
#   OUTDIR/ntfs-sizes.fls   `fls -r -p -l` of the volume (live and deleted entries, with sizes)
#   OUTDIR/ntfs-sizes.md5   "MD5 SIZE PATH" of what `icat` reads of each large file and of
#                           small.txt
# Needs root and /dev/fuse. Cached (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC

need_tools "ntfs-3g sleuthkit attr fdisk" mkntfs ntfs-3g fls icat setfattr md5sum sfdisk
image_script_fresh

text_file() { seq -f "$2 line %08g of qelda ntfs test data" 1 "$3" >"$1"; }

img=$OUT/ntfs-sizes.img
log "making $img"
truncate -s $((64 * 1024 * 1024)) "$img"
mkntfs -F -Q -q -c 4096 -L qeldasizes "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"

mount_ntfs "$img"
m=$MNT
text_file "$WORK/piece" piece 160
head -c 7000 "$WORK/piece" >"$WORK/chunk"
for i in 0 1 2 3; do
  dd if="$WORK/chunk" of="$m/big-sparse.bin" bs=1M seek=$((i * 30)) conv=notrunc status=none
  dd if="$WORK/chunk" of="$m/gone-sparse.bin" bs=1M seek=$((i * 30 + 1)) conv=notrunc status=none
done
printf 'small and plain\n' >"$m/small.txt"
text_file "$m/gone-1.txt" gone1 200
text_file "$m/gone-2.txt" gone2 300
release_volume

mount_ntfs "$img"
# Files made in a folder marked compressed are stored compressed.
mkdir "$MNT/packed"
setfattr -n system.ntfs_attrib_be -v 0x00000800 "$MNT/packed"
text_file "$MNT/packed/big-text.txt" big 1650000
text_file "$WORK/gone" gone 20000
for i in 0 1 2 3; do
  dd if="$WORK/gone" of="$MNT/packed/gone-packed.bin" bs=1M seek=$((i * 22 + 3)) conv=notrunc status=none
done
release_volume

# Record numbers by path (ntfs-3g gives a file its record number as inode number), before
# the deletion.
mount_ntfs "$img"
for path in big-sparse.bin packed/big-text.txt gone-sparse.bin packed/gone-packed.bin small.txt; do
  printf '%s %s\n' "$(stat -c %i "$MNT/$path")" "$path" >>"$WORK/records"
done
rm "$MNT/gone-1.txt" "$MNT/gone-2.txt" "$MNT/gone-sparse.bin" "$MNT/packed/gone-packed.bin"
release_volume

printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW %d FLAT "%s" 0\n' \
  $(($(stat -c %s "$img") / 512)) "ntfs-sizes.img" >"$OUT/ntfs-sizes.vmdk"
sectors=$(($(stat -c %s "$img") / 512))
truncate -s $(((sectors + 2048) * 512)) "$WORK/disk.raw"
printf 'label: dos\nstart=2048, size=%d, type=7\n' "$sectors" | sfdisk -q "$WORK/disk.raw" >>"$WORK/tools.log" 2>&1
head -c $((2048 * 512)) "$WORK/disk.raw" >"$OUT/ntfs-sizes.mbr"
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="twoGbMaxExtentFlat"\n\nRW 2048 FLAT "ntfs-sizes.mbr" 0\nRW %d FLAT "ntfs-sizes.img" 0\n' \
  "$sectors" >"$OUT/ntfs-sizes-disk.vmdk"
timeout 300 fls -r -p -l "$img" >"$OUT/ntfs-sizes.fls"
while read -r record path; do
  read -r sum _ < <(icat "$img" "$record" | md5sum)
  printf '%s %s %s\n' "$sum" "$(icat "$img" "$record" | wc -c)" "$path" >>"$OUT/ntfs-sizes.md5"
done <"$WORK/records"
image_script_done
