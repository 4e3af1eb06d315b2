#!/usr/bin/env bash
# Makes volumes whose deleted files' clusters were given to files written after them, each in
# a raw MBR disk named .vmdk (read as a flat VMDK) whose one partition starts at sector 2048:
#
#   ntfs-reused   mkntfs -c 4096, ntfs-3g: files written, some deleted (a200.bin of 200,000
#                 bytes among them), then larger ones (c300.bin first) written
#   fat16-reused  mkfs.fat -F 16 -s 4, mtools: the same
#   fat32-reused  mkfs.fat -F 32 -s 1, mtools: the same
#   exfat-reused  mkfs.exfat -c 4K, exfat-fuse on a loop device: the same, and two pairs of
#                 files written a piece of each in turn (i401/i402, j403/j404), i402 and both
#                 of the second pair deleted
#   lost-reused   a disk of NTFS, FAT32 and exFAT volumes partitioned and formatted again
#                 with an NTFS, a FAT32 and an exFAT volume over the middle of each
#   fat16-xyz     mkfs.fat -F 16 -s 4, mtools: x901, y902, z903 of one cluster each; y902
#                 deleted; a904 of three clusters takes its cluster and the two after z903;
#                 z903 and a904 deleted; o905 of one cluster deleted and p906 written over it
#
# On every volume but fat16-xyz the files k*.bin are written into clusters no file held
# before and deleted last: their clusters are still free. Beside each disk NAME,
# OUTDIR/NAME.written/ holds every file as written (deleted or not), by its name; names
# differ after their first character, which a FAT volume drops from a deleted one.
#
#   make_reused_clusters.sh OUTDIR
#
# Needs root, loop devices and /dev/fuse. Cached (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC
need_tools "dosfstools mtools ntfs-3g exfatprogs exfat-fuse fdisk python3" \
  mkfs.fat mcopy mdel mmd mkntfs ntfs-3g mkfs.exfat mount.exfat-fuse losetup sfdisk python3
image_script_fresh

# random_file PATH SIZE
random_file() { head -c "$2" /dev/urandom >"$1"; }

# disk_of VOLUME NAME: the volume as partition 1 (type TYPE) of OUTDIR/NAME.vmdk.
disk_of() {
  local vol=$1 name=$2 type=$3 img=$OUT/$2.vmdk
  truncate -s $(($(stat -c %s "$vol") + 2 * 1048576)) "$img"
  printf 'label: dos\nstart=2048, type=%s\n' "$type" | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
  dd if="$vol" of="$img" bs=1M seek=1 conv=notrunc,sparse status=none
}

# fill DIR PUT DEL: the files of one volume, each written first to DIR (OUTDIR/NAME.written),
# put on the volume by `PUT FILE FOLDER` and deleted by `DEL FOLDER/NAME`; `STAGE start`
# runs before a200.bin is written, `STAGE deleting` before the deletions, `STAGE writing`
# between them and the writes after them, `STAGE first` once c300.bin is written. In the folder old:
# a200.bin, 120 files of 1 to 60 KiB and ten k*.bin; a200.bin and every fourth file deleted.
# In the folder new, so that no entry of the deleted files is taken: c300.bin of 1 MiB and 30
# files of 40 to 200 KiB, written over the clusters freed. The k*.bin are deleted last. Forty
# small files q*.txt written first and deleted with the others hold the records a new file
# takes first on NTFS (which hands out the lowest free record), so that the deleted files'
# records stay.
fill() {
  local dir=$1 put=$2 del=$3 stage=$4 i name
  mkdir -p "$dir"
  for i in $(seq 1 40); do
    name=$(printf 'q%03d.txt' $((i + 600)))
    random_file "$dir/$name" 300
    "$put" "$dir/$name" .
  done
  "$stage" start
  random_file "$dir/a200.bin" 200000
  "$put" "$dir/a200.bin" old
  for i in $(seq 1 120); do
    name=$(printf 'b%03d.bin' "$i")
    random_file "$dir/$name" $(((i * 7919) % 60000 + 1000))
    "$put" "$dir/$name" old
  done
  for i in $(seq 1 10); do
    name=$(printf 'k%03d.bin' $((i + 500)))
    random_file "$dir/$name" $((i * 5000 + 700))
    "$put" "$dir/$name" keep
  done
  "$stage" deleting
  for i in $(seq 1 40); do "$del" "$(printf 'q%03d.txt' $((i + 600)))"; done
  "$del" old/a200.bin
  for i in $(seq 4 4 120); do "$del" "$(printf 'old/b%03d.bin' "$i")"; done
  "$stage" writing
  random_file "$dir/c300.bin" 1048576
  "$put" "$dir/c300.bin" new
  "$stage" first
  for i in $(seq 1 30); do
    name=$(printf 'n%03d.bin' $((i + 300)))
    random_file "$dir/$name" $(((i * 104729) % 160000 + 40000))
    "$put" "$dir/$name" new
  done
  for i in $(seq 1 10); do "$del" "$(printf 'keep/k%03d.bin' $((i + 500)))"; done
}

# --- FAT through mtools ---------------------------------------------------------------------------
FATVOL=''
fat_put() {
  local to=::/
  if [[ ${2:-.} != . ]]; then
    to=::/$2/
    mmd -i "$FATVOL" "::/$2" 2>/dev/null || true
  fi
  mcopy -i "$FATVOL" "$1" "$to$(basename "$1")"
}
fat_del() { mdel -i "$FATVOL" "::/$1"; }
# A FAT32 volume's hint of the next free cluster made unknown: mtools then searches from the
# start, over the clusters freed.
fat_stage() {
  [[ $bits == 32 && $1 == writing ]] || return 0
  local info
  info=$(od -An -tu2 -j48 -N2 "$FATVOL" | tr -d ' ')
  printf '\xff\xff\xff\xff\xff\xff\xff\xff' | dd of="$FATVOL" bs=1 seek=$((info * 512 + 488)) conv=notrunc status=none
}
for spec in fat16-reused:16:4:32M fat32-reused:32:1:40M; do
  IFS=: read -r name bits spc size <<<"$spec"
  FATVOL=$WORK/$name.vol
  truncate -s "$size" "$FATVOL"
  run mkfs.fat -F "$bits" -s "$spc" "$FATVOL"
  fill "$OUT/$name.written" fat_put fat_del fat_stage
  disk_of "$FATVOL" "$name" 6
done

FATVOL=$WORK/fat16-xyz.vol
truncate -s 16M "$FATVOL"
run mkfs.fat -F 16 -s 4 "$FATVOL"
d=$OUT/fat16-xyz.written
mkdir -p "$d"
# The folders first: the files written into them leave the entries of the deleted files
# in the others as they are.
mmd -i "$FATVOL" ::/d ::/e ::/f
random_file "$d/o905.bin" 1500
fat_put "$d/o905.bin" e
fat_del e/o905.bin
random_file "$d/p906.bin" 1700
fat_put "$d/p906.bin" f
for f in x901:2000 y902:1900 z903:1800; do
  random_file "$d/${f%%:*}.bin" "${f##*:}"
  fat_put "$d/${f%%:*}.bin"
done
fat_del y902.bin
random_file "$d/a904.bin" 6000
fat_put "$d/a904.bin" d
fat_del z903.bin
fat_del d/a904.bin
disk_of "$FATVOL" fat16-xyz 6

# --- NTFS through ntfs-3g -------------------------------------------------------------------------
ntfs_put() {
  mkdir -p "$MNT/${2:-.}"
  cp "$1" "$MNT/${2:-.}/"
}
vol_del() { rm "$MNT/$1"; }
# ntfs-3g takes free clusters where it likes: before the deletions a file takes all the
# volume's free space but 64 KiB, so that c300.bin can only take the clusters freed; it is
# deleted (not one of the files written) once c300.bin is.
ntfs_stage() {
  case $1 in
    deleting)
      local free
      free=$(df -B1 --output=avail "$MNT" | tail -1)
      head -c $((free - 65536)) /dev/zero >"$MNT/filler.dat" ;;
    first) rm "$MNT/filler.dat" ;;
  esac
}
no_stage() { :; }
vol=$WORK/ntfs.vol
truncate -s 24M "$vol"
run mkntfs -F -Q -c 4096 "$vol"
mount_ntfs "$vol"
fill "$OUT/ntfs-reused.written" ntfs_put vol_del ntfs_stage
release_volume
disk_of "$vol" ntfs-reused 7

# --- exFAT through exfat-fuse ---------------------------------------------------------------------
vol=$WORK/exfat.vol
truncate -s 48M "$vol"
attach_loop "$vol"
run mkfs.exfat -c 4K "$LOOP"
mount_fuse mount.exfat-fuse "$LOOP"
d=$OUT/exfat-reused.written
mkdir -p "$d"
# Two files a piece of each in turn: their chains run through each other's clusters.
python3 - "$d" "$MNT" <<'EOF'
import os, sys
out, mnt = sys.argv[1], sys.argv[2]
for a, b in (("i401.bin", "i402.bin"), ("j403.bin", "j404.bin")):
    fa, fb = os.open(f"{mnt}/{a}", os.O_WRONLY | os.O_CREAT), os.open(f"{mnt}/{b}", os.O_WRONLY | os.O_CREAT)
    da, db = bytearray(), bytearray()
    for _ in range(6):
        pa, pb = os.urandom(4096), os.urandom(4096)
        os.write(fa, pa); os.fsync(fa); da += pa
        os.write(fb, pb); os.fsync(fb); db += pb
    os.close(fa); os.close(fb)
    open(f"{out}/{a}", "wb").write(da)
    open(f"{out}/{b}", "wb").write(db)
EOF
fill "$d" ntfs_put vol_del no_stage
rm "$MNT/i402.bin" "$MNT/j403.bin" "$MNT/j404.bin"
release_volume
disk_of "$vol" exfat-reused 7

# --- a disk partitioned and formatted again over older volumes ------------------------------------
# Before: NTFS at 1 MiB (30 MiB), FAT32 at 31 MiB (34 MiB), exFAT at 65 MiB (30 MiB), each
# about two-thirds full. After: NTFS at 10 MiB (20 MiB), FAT32 at 40 MiB (34 MiB) and exFAT
# at 80 MiB (15 MiB), each over the middle of an old one whose boot sector stays, new files
# written.
disk=$OUT/lost-reused.vmdk
d=$OUT/lost-reused.written
mkdir -p "$d"
truncate -s 96M "$disk"
printf 'label: dos\nstart=2048, size=61440, type=7\nstart=63488, size=69632, type=c\nstart=133120, size=61440, type=7\n' |
  sfdisk -q "$disk" >>"$WORK/tools.log" 2>&1
# volume_at FS START SECTORS PREFIX COUNT DIVISOR: a volume (ntfs, exfat or fat32) made at
# sector START of the disk, and COUNT files PREFIXnnn.bin of up to about 600 KiB / DIVISOR
# written into d and onto it.
volume_at() {
  local fs=$1 start=$2 sectors=$3 i name
  case $fs in
    fat32)
      FATVOL="$disk@@$((start * 512))"
      run mkfs.fat -F 32 -s 1 --offset "$start" "$disk" $((sectors / 2)) ;;
    ntfs)
      attach_loop --offset $((start * 512)) --sizelimit $((sectors * 512)) "$disk"
      run mkntfs -F -Q -c 4096 "$LOOP"
      mount_ntfs "$LOOP" ;;
    exfat)
      attach_loop --offset $((start * 512)) --sizelimit $((sectors * 512)) "$disk"
      run mkfs.exfat -c 4K "$LOOP"
      mount_fuse mount.exfat-fuse "$LOOP" ;;
  esac
  for i in $(seq 1 "$5"); do
    name=$(printf '%s%03d.bin' "$4" "$i")
    random_file "$d/$name" $((((i * 7919) % 600000 + 20000) / $6))
    if [[ $fs == fat32 ]]; then fat_put "$d/$name"; else cp "$d/$name" "$MNT/"; fi
  done
  release_volume
}
volume_at ntfs 2048 61440 on 60 1
volume_at exfat 133120 61440 oe 60 1
volume_at fat32 63488 69632 of 60 1
printf 'label: dos\nstart=20480, size=40960, type=7\nstart=81920, size=69632, type=c\nstart=163840, size=30720, type=7\n' |
  sfdisk -q "$disk" >>"$WORK/tools.log" 2>&1
volume_at ntfs 20480 40960 nn 30 2
volume_at exfat 163840 30720 ne 20 2
volume_at fat32 81920 69632 nf 30 2

image_script_done
