#!/usr/bin/env bash
# Makes NTFS volumes formatted again over their files: mkntfs -c 4096, filled through ntfs-3g
# with about 175 files in nested folders (one of them sparse), then mkntfs -Q over it, each in a raw MBR disk named
# .vmdk (read as a flat VMDK without descriptor) whose one partition starts at sector 2048:
#
#   OUTDIR/ntfs-reformat-c8192.vmdk  formatted again with 8192-byte clusters
#   OUTDIR/ntfs-reformat-c4096.vmdk  formatted again with the same 4096-byte clusters
#   OUTDIR/files/PATH                every file as written, by its path from the root
#
# and, each answered by The Sleuth Kit in OUTDIR/NAME.fls (`fls -r -p -l`):
#
#   OUTDIR/ntfs-reformat-c8192-new.vmdk   formatted again with 8192-byte clusters, then the
#                                         first 5 files of OUTDIR/after written to its root
#   OUTDIR/ntfs-reformat-c4096-over16k.vmdk  the files of OUTDIR/small in Small, then those
#                                         of OUTDIR/files, written to a volume of 16384-byte
#                                         clusters, formatted again with 4096-byte ones and
#                                         the 18 files of OUTDIR/after written to its root
#   OUTDIR/ntfs-inner-cN.vmdk             a sound 255 MiB volume of 4096-byte clusters:
#                                         "Folder 2" and the root files of OUTDIR/files, two
#                                         of them deleted, and OUTDIR/inner-cN.img as
#                                         floppy.img: a 64 MiB NTFS volume of N-byte clusters
#                                         (512, 4096) holding the six files of OUTDIR/inner
#   OUTDIR/ntfs-inner-cN-deleted.vmdk     the same, floppy.img deleted
#   OUTDIR/after/NAME, OUTDIR/inner/NAME, OUTDIR/small/NAME  those files as written
#
#   make_ntfs_reformat_images.sh OUTDIR
#
# Needs root and /dev/fuse. Cached (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC

need_tools "ntfs-3g fdisk" mkntfs ntfs-3g sfdisk
image_script_fresh

vol=$WORK/volume
truncate -s 64M "$vol"
run mkntfs -F -Q -c 4096 -L before "$vol" || die "mkntfs failed"
# The files, written once to OUTDIR/files and copied onto the volume: sizes from a few bytes
# (resident in their records) to a few hundred KiB, folders three deep.
files=$OUT/files
n=0
for a in $(seq 1 5); do
  for b in $(seq 1 4); do
    dir="Folder $a/Sub $b"
    [[ $b == 4 ]] && dir="Folder $a/Sub $b/Inner"
    mkdir -p "$files/$dir"
    for _ in $(seq 1 8); do
      n=$((n + 1))
      head -c $(((n * 7919) % 200000 + 30)) /dev/urandom >"$files/$dir/file $n.bin"
    done
  done
  head -c $((a * 333)) /dev/urandom >"$files/Folder $a/note $a.txt"
done
for r in $(seq 1 10); do head -c $((r * 4099)) /dev/urandom >"$files/root $r.dat"; done
# A sparse file: two pieces with a hole between (written so on the volume as well).
dd if=/dev/urandom of="$files/Folder 1/sparse.bin" bs=1k count=20 status=none
dd if=/dev/urandom of="$files/Folder 1/sparse.bin" bs=1k count=20 seek=300 conv=notrunc status=none
mount_ntfs "$vol"
cp -r --sparse=always "$files/." "$MNT/"
release_volume

# disk_of VOLUME NAME: VOLUME as the one partition of OUTDIR/NAME.vmdk.
disk_of() {
  local img=$OUT/$2.vmdk
  truncate -s $(($(stat -c %s "$1") + 1048576)) "$img"
  printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
  # Sparse by pages: the volume's files lie scattered.
  dd if="$1" of="$img" bs=4k seek=256 conv=notrunc,sparse status=none
}
# again VOLUME CLUSTER [FILES]: VOLUME formatted again with CLUSTER-byte clusters, in
# WORK/again, the first FILES files of OUTDIR/after written to its root.
again() {
  cp --sparse=always "$1" "$WORK/again"
  run mkntfs -F -Q -c "$2" -L after "$WORK/again" || die "mkntfs -c $2 failed"
  if ((${3:-0} > 0)); then
    mount_ntfs "$WORK/again"
    find "$OUT/after" -type f | sort -V | head -n "$3" | xargs -d '\n' cp -t "$MNT/"
    release_volume
  fi
}
for c in 8192 4096; do
  again "$vol" "$c"
  disk_of "$WORK/again" "ntfs-reformat-c$c"
done

# The files written after a format, and those of the disk images.
mkdir -p "$OUT/after" "$OUT/inner"
for i in $(seq 1 18); do head -c $((i * 3001)) /dev/urandom >"$OUT/after/after $i.bin"; done
for i in $(seq 1 6); do head -c $((i * 12345 + 100)) /dev/urandom >"$OUT/inner/inner $i.bin"; done
# Formatted again with larger clusters and written to: $MFT grows by a cluster of 8 records
# past its data size, which hold the earlier format's records still.
again "$vol" 8192 5
disk_of "$WORK/again" ntfs-reformat-c8192-new
sleuth_answers "$OUT/ntfs-reformat-c8192-new.vmdk" ntfs-reformat-c8192-new 0
# The same files on 16 KiB clusters, after 40 small ones of a cluster each (records 65 to
# 104), formatted again with 4 KiB ones: the new $MFT's clusters hold records of the earlier
# format past its data size, small files among them that one cluster of 4 KiB would hold.
mkdir -p "$OUT/small"
for i in $(seq 1 40); do head -c $((1000 + i * 70)) /dev/urandom >"$OUT/small/small $i.bin"; done
old=$WORK/old16k
truncate -s 64M "$old"
run mkntfs -F -Q -c 16384 -L before "$old" || die "mkntfs -c 16384 failed"
mount_ntfs "$old"
mkdir "$MNT/Small"
for i in $(seq 1 40); do cp "$OUT/small/small $i.bin" "$MNT/Small/"; done
cp -r --sparse=always "$files/." "$MNT/"
release_volume
again "$old" 4096 18
disk_of "$WORK/again" ntfs-reformat-c4096-over16k
sleuth_answers "$OUT/ntfs-reformat-c4096-over16k.vmdk" ntfs-reformat-c4096-over16k 0
rm -f "$old"
# Disk images as live files of a sound volume.
for c in 512 4096; do
  inner=$OUT/inner-c$c.img
  truncate -s 64M "$inner"
  run mkntfs -F -Q -c "$c" -L inner "$inner" || die "mkntfs -c $c failed"
  mount_ntfs "$inner"
  cp "$OUT/inner/"* "$MNT/"
  release_volume
  outer=$WORK/outer
  rm -f "$outer"
  truncate -s 255M "$outer"
  run mkntfs -F -Q -c 4096 -L outer "$outer" || die "mkntfs -c 4096 failed"
  mount_ntfs "$outer"
  mkdir "$MNT/Folder 2"
  cp -r "$files/Folder 2/." "$MNT/Folder 2/"
  cp "$files/"root* "$MNT/"
  cp "$inner" "$MNT/floppy.img"
  rm "$MNT/root 3.dat" "$MNT/Folder 2/Sub 1/file 35.bin"
  release_volume
  disk_of "$outer" "ntfs-inner-c$c"
  sleuth_answers "$OUT/ntfs-inner-c$c.vmdk" "ntfs-inner-c$c" 0
  mount_ntfs "$outer"
  rm "$MNT/floppy.img"
  release_volume
  disk_of "$outer" "ntfs-inner-c$c-deleted"
  sleuth_answers "$OUT/ntfs-inner-c$c-deleted.vmdk" "ntfs-inner-c$c-deleted" 0
done
[[ $(find "$files" -type f | wc -l) -ge 170 ]] || die "too few files written"
image_script_done
