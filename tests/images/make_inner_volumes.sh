#!/usr/bin/env bash
# Makes disks whose volume holds the structures of another volume inside its clusters: a disk
# image kept on a FAT32 volume as a file, and an exFAT volume made inside the sectors of an
# older one. Each is a raw MBR disk named .vmdk (read as a flat VMDK without descriptor).
#   floppy.img      a FAT12 image of 4 KiB clusters holding 16 folders of one file each (made
#                   by mkfs.fat and mtools): its folders agree on a geometry of their own
#   fat32-image-live     an 80 MiB FAT32 of 512-byte clusters: folders and files, one file
#                   deleted, and floppy.img as a live file
#   fat32-image-gone     a 40 MiB FAT32 of 512-byte clusters whose files, floppy.img among
#                   them, were all deleted from its root
#   fat32-image-tree-gone  the same at 80 MiB, with a folder of files deleted too
#   exfat-newer     a 48 MiB disk whose exFAT of 4 KiB clusters at sector 2048 (files in nested
#                   folders) was left when the disk was partitioned again: a newer exFAT of
#                   128 KiB clusters starts at sector 10240, inside the old one's sectors,
#                   and holds 20 files of its own
# Beside each NAME, NAME.written/PATH holds every file of the volume as written (for
# exfat-newer, the old volume's, and the newer one's under New/); beside the FAT disks,
# NAME.fls (fls -r -p -l of the volume).
#
#   make_inner_volumes.sh OUTDIR
#
# Needs root, /dev/fuse and a free loop device (the exFAT disk). Cached
# (tests/support/image_script.sh): made again from scratch only when this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"
export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1

need_tools "dosfstools mtools exfatprogs exfat-fuse sleuthkit fdisk" \
  mkfs.fat mcopy mmd mdel mdeltree mkfs.exfat mount.exfat-fuse losetup sfdisk fls
image_script_fresh

# keep VOLUME NAME SIZE PATH: SIZE random bytes written to the volume at PATH and kept as
# NAME.written/PATH.
keep() {
  local written=$OUT/$2.written/$4
  mkdir -p "$(dirname "$written")"
  head -c "$3" /dev/urandom >"$written"
  mcopy -i "$1" "$written" "::/$4"
}

# fat_volume NAME MIB: an empty FAT32 of 512-byte clusters for a disk of MIB MiB, in WORK.
fat_volume() {
  truncate -s "$(($2 - 1))M" "$WORK/$1.vol"
  run mkfs.fat -F 32 -s 1 "$WORK/$1.vol"
}

# fat_disk NAME MIB: the volume behind an MBR at sector 2048, and what fls lists there.
fat_disk() {
  truncate -s "$2M" "$OUT/$1.vmdk"
  printf 'label: dos\nstart=2048, type=c\n' | run sfdisk -q "$OUT/$1.vmdk"
  dd if="$WORK/$1.vol" of="$OUT/$1.vmdk" bs=1M seek=1 conv=notrunc,sparse status=none
  rm -f "$WORK/$1.vol"
  fls -r -p -l -o 2048 "$OUT/$1.vmdk" >"$OUT/$1.fls"
}

# The image: its 16 folders and their files fill its first clusters.
truncate -s 2M "$OUT/floppy.img"
run mkfs.fat -F 12 -s 8 "$OUT/floppy.img"
for i in $(seq 10 25); do
  mmd -i "$OUT/floppy.img" "::/folder$i"
  head -c $((1000 + i * 100)) /dev/urandom >"$WORK/in"
  mcopy -i "$OUT/floppy.img" "$WORK/in" "::/folder$i/in$i.bin"
done

v=$WORK/fat32-image-live.vol
fat_volume fat32-image-live 80
mmd -i "$v" ::/Docs ::/Docs/Sub
for i in 1 2 3 4 5 6; do keep "$v" fat32-image-live $((3000 * i)) "Docs/file$i.bin"; done
keep "$v" fat32-image-live 5000 Docs/Sub/deep.bin
keep "$v" fat32-image-live 7000 root.bin
keep "$v" fat32-image-live 7000 gone.bin
mcopy -i "$v" "$OUT/floppy.img" ::/floppy.img
cp "$OUT/floppy.img" "$OUT/fat32-image-live.written/floppy.img"
mdel -i "$v" ::/gone.bin
fat_disk fat32-image-live 80

v=$WORK/fat32-image-gone.vol
fat_volume fat32-image-gone 40
for i in $(seq 1 13); do keep "$v" fat32-image-gone $((2500 * i)) "root$i.bin"; done
mcopy -i "$v" "$OUT/floppy.img" ::/floppy.img
cp "$OUT/floppy.img" "$OUT/fat32-image-gone.written/floppy.img"
mdel -i "$v" "::/*"
fat_disk fat32-image-gone 40

v=$WORK/fat32-image-tree-gone.vol
fat_volume fat32-image-tree-gone 80
mmd -i "$v" ::/Docs
for i in 1 2 3 4 5 6; do keep "$v" fat32-image-tree-gone $((3000 * i)) "Docs/file$i.bin"; done
for i in 1 2 3 4 5 6 7; do keep "$v" fat32-image-tree-gone $((5000 * i)) "root$i.bin"; done
mcopy -i "$v" "$OUT/floppy.img" ::/floppy.img
cp "$OUT/floppy.img" "$OUT/fat32-image-tree-gone.written/floppy.img"
mdeltree -i "$v" ::/Docs
mdel -i "$v" "::/*"
fat_disk fat32-image-tree-gone 80

# exfat_at DISK START CLUSTER: a new exFAT of that cluster size at sector START of DISK,
# mounted at MNT, its only partition.
exfat_at() {
  printf 'label: dos\nstart=%d, type=7\n' "$2" | run sfdisk -q "$1"
  attach_loop -o $(($2 * 512)) "$1"
  run mkfs.exfat -c "$3" "$LOOP"
  mount_fuse mount.exfat-fuse "$LOOP"
}

disk=$OUT/exfat-newer.vmdk written=$OUT/exfat-newer.written
truncate -s 48M "$disk"
exfat_at "$disk" 2048 4K
mkdir -p "$MNT/Old/Sub" "$written/Old/Sub"
for i in 1 2 3 4 5 6; do seq -f "old $i line %06g" 1 $((i * 700)) >"$written/Old/o$i.txt"; done
seq -f "deep line %06g" 1 3000 >"$written/Old/Sub/deep.txt"
seq -f "root line %06g" 1 2000 >"$written/rootfile.txt"
cp -r "$written"/. "$MNT/"
release_volume
exfat_at "$disk" 10240 128K
mkdir -p "$written/New/Inner"
for i in $(seq 1 10); do seq -f "new $i line %06g" 1 $((i * 300)) >"$written/New/new$i.txt"; done
for i in $(seq 11 20); do seq -f "new $i line %06g" 1 $((i * 300)) >"$written/New/Inner/new$i.txt"; done
cp -r "$written/New" "$MNT/"
release_volume

image_script_done
