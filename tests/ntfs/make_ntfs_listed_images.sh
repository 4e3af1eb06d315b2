#!/usr/bin/env bash
# Makes an NTFS volume (mkntfs -c 4096, filled through ntfs-3g) whose files' data runs outgrow
# their records: four files in "Appends" written by interleaved 4 KiB appends, each cluster
# apart from the next, so that each gets an $ATTRIBUTE_LIST and its name and last runs move to
# extension records; two of them deleted, with a plain file beside them. In a raw MBR disk named
# .vmdk (read as a flat VMDK without descriptor) whose one partition starts at sector 2048:
#
#   OUTDIR/ntfs-listed.vmdk   the disk
#   OUTDIR/files/PATH         every file as written, by its path from the root
#   OUTDIR/deleted            the paths of the files deleted, one a line
#   OUTDIR/ntfs-listed.fls    `fls -r -p -l` of the volume after the deletion
#   OUTDIR/ntfs-listed.icat/N icat's bytes of each deleted record N with an attribute list
#
#   make_ntfs_listed_images.sh OUTDIR
#
# Needs root and /dev/fuse. Cached (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC

need_tools "ntfs-3g sleuthkit fdisk" mkntfs ntfs-3g sfdisk fls icat istat ifind
image_script_fresh

vol=$WORK/volume
truncate -s 32M "$vol"
run mkntfs -F -Q -c 4096 -L listed "$vol" || die "mkntfs failed"
files=$OUT/files
mkdir -p "$files/Appends"
appends=400
k=0
for f in alpha beta gamma delta; do
  k=$((k + 1))
  head -c $((appends * 4096 - k * 1111)) /dev/urandom >"$files/Appends/$f.bin"
done
head -c 20000 /dev/urandom >"$files/plain gone.bin"
head -c 30000 /dev/urandom >"$files/plain kept.bin"

mount_ntfs "$vol"
mkdir "$MNT/Appends"
# Each file takes one cluster at a time in turn: every run is one cluster long.
for i in $(seq 0 $((appends - 1))); do
  for f in alpha beta gamma delta; do
    dd if="$files/Appends/$f.bin" bs=4096 skip="$i" count=1 status=none >>"$MNT/Appends/$f.bin"
  done
done
cp "$files/plain gone.bin" "$files/plain kept.bin" "$MNT/"
release_volume

# Every appended file has its list, and a piece of its data in another record.
for f in alpha beta gamma delta; do
  inode=$(ifind -n "Appends/$f.bin" "$vol")
  istat "$vol" "$inode" >"$WORK/istat"
  grep -q '^Type: \$ATTRIBUTE_LIST' "$WORK/istat" || die "$f.bin has no attribute list"
  awk -v me="$inode" '/^Type: 128-0/ && $5 != me && $7 > 0 { found = 1 } END { exit !found }' \
    "$WORK/istat" || die "$f.bin keeps all its runs in its own record"
  echo "$inode" >"$WORK/$f.inode"
done

mount_ntfs "$vol"
rm "$MNT/Appends/beta.bin" "$MNT/Appends/delta.bin" "$MNT/plain gone.bin"
release_volume
printf '%s\n' Appends/beta.bin Appends/delta.bin 'plain gone.bin' >"$OUT/deleted"

fls -r -p -l "$vol" >"$OUT/ntfs-listed.fls"
mkdir -p "$OUT/ntfs-listed.icat"
for f in beta delta; do
  inode=$(<"$WORK/$f.inode")
  icat "$vol" "$inode" >"$OUT/ntfs-listed.icat/$inode"
done

img=$OUT/ntfs-listed.vmdk
truncate -s 33M "$img"
printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
dd if="$vol" of="$img" bs=1M seek=1 conv=notrunc,sparse status=none
image_script_done
