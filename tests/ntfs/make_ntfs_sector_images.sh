#!/usr/bin/env bash
# Makes NTFS volumes of 1024-, 2048- and 4096-byte sectors: mkntfs -s N on a loop device of
# that sector size, filled through ntfs-3g on the same device (nested folders, files of a few
# hundred bytes to a few hundred KiB, two of them deleted), each put in a raw MBR disk named
# .vmdk (read as a flat VMDK without descriptor) whose one partition starts at sector 2048:
#
#   OUTDIR/ntfs-sNNNN.vmdk    the disk of the volume of NNNN-byte sectors
#   OUTDIR/ntfs-sNNNN.fls     fls -r -p -l of the volume (live and deleted entries)
#   OUTDIR/ntfs-sNNNN.files/R icat of every file R outside the metadata that fls lists,
#                             live or deleted
#
#   make_ntfs_sector_images.sh OUTDIR
#
# Needs root, loop devices of other sector sizes and /dev/fuse. Cached
# (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC

need_tools "ntfs-3g sleuthkit fdisk" mkntfs ntfs-3g fls icat sfdisk losetup
image_script_fresh

# put PATH SIZE: a file of random bytes on the mounted volume.
put() { head -c "$2" /dev/urandom >"$MNT/$1"; }

for n in 1024 2048 4096; do
  name=ntfs-s$n
  vol=$WORK/$name.vol
  log "making $name"
  truncate -s 64M "$vol"
  attach_loop --sector-size "$n" "$vol"
  run mkntfs -F -Q -s "$n" -L "sectors$n" "$LOOP" || die "mkntfs -s $n failed"
  mount_ntfs "$LOOP"
  mkdir -p "$MNT/Docs/Reports/2021" "$MNT/Media" "$MNT/Old/Inner"
  put small.txt 700
  put tiny.txt 90
  put "Docs/A long file name.bin" 5000
  put Docs/Reports/report.dat 70000
  put "Docs/Reports/2021/Year end summary.bin" 300000
  put Media/pic.jpg 9000
  put "Media/Holiday video.mp4" 140000
  put Old/notes.txt 3000
  put "Old/Inner/Deep file.bin" 66000
  put "gone file.bin" 7000
  put Docs/Reports/gone.txt 2500
  release_volume
  # Deleted on a mount of its own, so that their records are written as they were first.
  attach_loop --sector-size "$n" "$vol"
  mount_ntfs "$LOOP"
  rm "$MNT/gone file.bin" "$MNT/Docs/Reports/gone.txt"
  release_volume

  img=$OUT/$name.vmdk
  truncate -s 65M "$img"
  printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
  dd if="$vol" of="$img" bs=1M seek=1 conv=notrunc,sparse status=none
  rm -f "$vol"
  sleuth_answers "$img" "$name" '$1 ~ /^[r-]\/r / && $2 !~ /^\$/'
  grep -q 'small.txt' "$OUT/$name.fls" || die "$name: fls does not list small.txt"
  grep -q 'gone.txt' "$OUT/$name.fls" || die "$name: fls does not list the deleted gone.txt"
done
image_script_done
