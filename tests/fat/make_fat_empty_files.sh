#!/usr/bin/env bash
# Makes FAT12, FAT16 and FAT32 disks that hold empty files, live and deleted, in the root, in
# a folder, in a deleted folder, with short and long names, beside files with data: an MBR
# disk (sfdisk) whose one partition (from sector 2048) mkfs.fat formats and mtools fills.
# For each disk NAME (fat12, fat16, fat32):
#   NAME.vmdk   the disk (a raw disk read as a flat VMDK without descriptor)
#   NAME.fls    fls -r -p -l of its volume: every entry, live and deleted, with its size
#
#   make_fat_empty_files.sh OUTDIR
#
# Cached (tests/support/image_script.sh): made again only when this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"
export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0

need_tools "dosfstools mtools fdisk sleuthkit" mkfs.fat mcopy mmd mdel mdeltree sfdisk fls
image_script_fresh

: >"$WORK/empty"
printf 'some data\n' >"$WORK/data"
for spec in 12:6:21 16:6:21 32:c:41; do
  IFS=: read -r bits type mib <<<"$spec"
  img=$OUT/fat$bits.vmdk
  truncate -s "${mib}M" "$img"
  printf 'label: dos\nstart=2048, type=%s\n' "$type" | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
  mkfs.fat -F "$bits" --offset 2048 "$img" $(((mib - 1) * 1024)) >>"$WORK/tools.log" 2>&1
  m=(-i "$img@@1M")
  mcopy "${m[@]}" "$WORK/empty" ::/EMPTY.TXT
  mcopy "${m[@]}" "$WORK/empty" "::/An empty file with a long name.log"
  mcopy "${m[@]}" "$WORK/empty" ::/GONE.TXT
  mcopy "${m[@]}" "$WORK/data" ::/DATA.TXT
  mmd "${m[@]}" ::/sub ::/sub/inner ::/trash
  mcopy "${m[@]}" "$WORK/empty" ::/sub/IN.TXT
  mcopy "${m[@]}" "$WORK/empty" "::/sub/inner/Empty deeper.dat"
  mcopy "${m[@]}" "$WORK/empty" "::/sub/Deleted empty one.txt"
  mcopy "${m[@]}" "$WORK/data" ::/sub/DATA2.TXT
  mcopy "${m[@]}" "$WORK/empty" ::/trash/INTRASH.TXT
  mcopy "${m[@]}" "$WORK/data" ::/trash/DATA3.TXT
  mdel "${m[@]}" ::/GONE.TXT "::/sub/Deleted empty one.txt"
  mdeltree "${m[@]}" ::/trash
  fls -r -p -l -o 2048 "$img" >"$OUT/fat$bits.fls"
done
image_script_done
