#!/usr/bin/env bash
# Makes the exFAT volume files the exFAT tests read, with mkfs.exfat and exfat-fuse over a
# loop device, and the answers of The Sleuth Kit and dump.exfat beside each one.
#
#   make_exfat_images.sh OUTDIR
#
# For each volume NAME (see VOLUMES below):
#   OUTDIR/NAME.img    the volume (a bare file system, no partition table)
#   OUTDIR/NAME.fls    fls -r -p: every entry, live and deleted
#   OUTDIR/NAME.flsd   fls -r -d -p: deleted entries only
#   OUTDIR/NAME.md5    "md5<TAB>D|-<TAB>inode<TAB>path" of icat of every regular file
#                      (D: deleted; its clusters may have been reused)
#   OUTDIR/NAME.dump   dump.exfat: boot sector fields and the root's system entries
# Every volume also held, before their deletion, OUTDIR/raw/picture.png and
# OUTDIR/raw/archive.zip (made here by python3): their data is left in free clusters for
# the raw scan to find.
# exfat-s4k, exfat-s2k and exfat-s1k are volumes of 4096-, 2048- and 1024-byte sectors (made
# on loop devices of that sector size). OUTDIR/exfat-reformat.img is a volume formatted
# again with larger clusters over files in nested folders (see make_reformatted);
# and exfat-c4k as partition 1 (type 07, at sector 2048) of an MBR disk made by sfdisk,
# converted by qemu-img: OUTDIR/exfat-disk.vmdk (monolithicSparse), exfat-disk.vdi
# (dynamic) and exfat-disk.vhd (dynamic). Its answers are exfat-c4k's.
# Needs root, /dev/fuse and a free loop device. The Sleuth Kit's fsstat never ends on some
# of these volumes, so it is not run, and every TSK call runs under timeout.
# Cached (tests/support/image_script.sh): made again from scratch only when this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

# Non-ASCII names must reach exfat-fuse as UTF-8.
export LC_ALL=C.UTF-8 TZ=UTC

need_tools "exfatprogs exfat-fuse sleuthkit fdisk qemu-utils python3" \
  mkfs.exfat mount.exfat-fuse dump.exfat losetup fls icat md5sum timeout sfdisk qemu-img python3
image_script_fresh

# ---------------------------------------------------------------- content
# Text whose every line is distinct, so data read from the wrong place shows.
text_file() { seq -f "$2 line %06g of qelda exfat test data" 1 "$3" >"$1"; }
# Binary bytes of an exact size (deflate output of a counter).
binary_file() { seq -f "$2 %09g" 1 $(($3 / 3 + 1000)) | gzip -n -1 | head -c "$3" >"$1"; }

# A PNG of noise (about 180 KB: many clusters) and a ZIP of two members, the same bytes
# every time.
make_raw_files() {
  mkdir -p "$OUT/raw"
  python3 - "$OUT/raw" <<'EOF'
import struct, sys, zipfile, zlib
out = sys.argv[1]
w, h, x = 300, 200, 12345
rows = bytearray()
for _ in range(h):
    rows.append(0)
    for _ in range(w * 3):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        rows.append(x >> 16 & 0xFF)
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")
open(f"{out}/picture.png", "wb").write(png)
with zipfile.ZipFile(f"{out}/archive.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name, lines in (("notes.txt", 400), ("list.txt", 900)):
        info = zipfile.ZipInfo(name, (2021, 5, 4, 3, 2, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, "".join(f"{name} line {i:05d}\n" for i in range(lines)))
EOF
}

# fill_volume MOUNT CLUSTER-BYTES: the tree every volume gets, deletions last so that
# nothing overwrites what they leave behind.
fill_volume() {
  local m=$1 cb=$2 i
  mkdir -p "$m/Docs/Reports/2021" "$m/Docs/Empty folder" "$m/a/b/c" "$m/Ελληνικά"
  printf 'qelda exfat volume, clusters of %s bytes\n' "$cb" >"$m/readme.txt"
  : >"$m/empty.txt"
  text_file "$m/Docs/notes.txt" notes 1500
  printf 'summary\n' >"$m/Docs/Reports/2021/summary.txt"
  printf 'kept three levels down\n' >"$m/a/b/c/keep.txt"
  text_file "$m/a/b/c/deep.txt" deep 300
  text_file "$m/Ελληνικά/Ünïcödé — 日本語.txt" unicode 50
  # 240 characters: sixteen name entries in one set.
  text_file "$m/$(printf 'L%.0s' $(seq 1 236)).txt" longname 20
  binary_file "$m/big.bin" big $((cb * 9 + 1234))
  # A directory of 100 empty files outgrows one cluster (up to 128 KiB clusters excluded).
  mkdir "$m/hundred"
  for i in $(seq -w 1 100); do : >"$m/hundred/e$i.txt"; done
  # 60 three-entry sets: with 4 KiB clusters the 43rd set starts at 4032 and ends in the
  # directory's second cluster.
  mkdir "$m/sixty"
  for i in $(seq -w 1 60); do printf 'sixty %s\n' "$i" >"$m/sixty/file-$i.txt"; done
  # A fragmented file: its first clusters, a gap file right after them, the rest after the
  # gap; then the gap goes, leaving a chain that jumps.
  binary_file "$WORK/frag" frag $((cb * 7 + 100))
  head -c $((cb * 3)) "$WORK/frag" >"$m/fragmented.bin"
  binary_file "$m/gap.bin" gap $((cb * 2))
  sync
  tail -c +$((cb * 3 + 1)) "$WORK/frag" >>"$m/fragmented.bin"
  sync
  rm "$m/gap.bin"
  # Deleted last: files, a file three levels down, one set amid a multi-cluster directory,
  # and a folder with a subfolder.
  text_file "$m/Deleted report.txt" deleted 400
  mkdir -p "$m/deldir/inner"
  printf 'inside a deleted folder\n' >"$m/deldir/inner.txt"
  text_file "$m/deldir/inner/deeper.txt" deeper 40
  # Made after the gap was filled, so each lies in one run of clusters.
  cp "$OUT/raw/picture.png" "$OUT/raw/archive.zip" "$m/"
  sync
  rm "$m/Deleted report.txt" "$m/a/b/c/deep.txt" "$m/sixty/file-30.txt" "$m/picture.png" "$m/archive.zip"
  rm -r "$m/deldir"
}

# ---------------------------------------------------------------- answers
answers() {  # answers IMAGE BASE
  local img=$1 base=$2 line head path inode mark
  timeout 60 fls -f exfat -r -p "$img" >"$base.fls"
  timeout 60 fls -f exfat -r -d -p "$img" >"$base.flsd"
  : >"$base.md5"
  # Regular files: "r/r INODE:<TAB>path", deleted ones "r/r * INODE:<TAB>path".
  while IFS= read -r line; do
    head=${line%%$'\t'*} path=${line#*$'\t'}
    [[ $head =~ ^r/r\ (\*\ )?([0-9]+):$ ]] || continue
    mark=-; [[ -n ${BASH_REMATCH[1]} ]] && mark=D
    inode=${BASH_REMATCH[2]}
    # The bitmap, the up-case table and the label, as TSK shows them.
    [[ $path == \$* || $path == *' (Volume Label Entry)' ]] && continue
    printf '%s\t%s\t%s\t%s\n' "$(timeout 60 icat -f exfat "$img" "$inode" | md5sum | cut -d' ' -f1)" \
      "$mark" "$inode" "$path" >>"$base.md5"
  done <"$base.fls"
}

# [SECTOR_BYTES=N] make_volume NAME SIZE CLUSTER-BYTES [mkfs.exfat options]: with
# SECTOR_BYTES, on a loop device of sectors of that size (the volume's own sector size).
make_volume() {
  local name=$1 size=$2 cb=$3 img=$OUT/$1.img
  shift 3
  log "making $name"
  truncate -s "$size" "$img"
  attach_loop ${SECTOR_BYTES:+--sector-size "$SECTOR_BYTES"} "$img"
  run mkfs.exfat -L "${name:0:11}" "$@" "$LOOP"
  mount_fuse mount.exfat-fuse "$LOOP"
  fill_volume "$MNT" "$cb"
  sync
  umount "$MNT"   # fuseblk: returns once the driver has written everything
  dump.exfat "$LOOP" >"$OUT/$name.dump" 2>>"$WORK/tools.log"
  losetup -d "$LOOP"; LOOP=''
  answers "$img" "$OUT/$name"
}

make_raw_files
make_volume exfat-8m 8M 4096
make_volume exfat-c512 64M 512 -c 512
make_volume exfat-c4k 64M 4096 -c 4K
make_volume exfat-c128k 64M 131072 -c 128K
make_volume exfat-b4096 64M 4096 -b 4096
make_volume exfat-pack 64M 4096 --pack-bitmap
# Volumes of larger sectors: the boot sector counts in them.
SECTOR_BYTES=4096 make_volume exfat-s4k 64M 4096
SECTOR_BYTES=2048 make_volume exfat-s2k 64M 16384 -c 16K
SECTOR_BYTES=1024 make_volume exfat-s1k 32M 4096

# A volume of 4 KiB clusters holding files in nested folders, formatted again with 16 KiB
# clusters, then given files of its own. The old folders are made together (after a file
# that keeps them clear of the clusters the new format writes), so that some of them fill a
# 16 KiB cluster whole and look like directories in the new geometry. Every file as written
# lies under OUTDIR/reformat/old or OUTDIR/reformat/new, each name used once.
make_reformatted() {
  local img=$OUT/exfat-reformat.img d i
  log "making exfat-reformat"
  truncate -s 64M "$img"
  attach_loop "$img"
  run mkfs.exfat -c 4K "$LOOP"
  mount_fuse mount.exfat-fuse "$LOOP"
  text_file "$MNT/pad.txt" pad 12000
  mkdir -p "$MNT/Projects/alpha/src" "$MNT/Projects/alpha/docs" "$MNT/Projects/beta/src" "$MNT/Photos/2020" \
    "$MNT/Photos/2021" "$MNT/Notes/old"
  for d in Projects Projects/alpha Projects/alpha/src Projects/alpha/docs Projects/beta Projects/beta/src Photos \
    Photos/2020 Photos/2021 Notes Notes/old; do
    for i in 1 2 3; do text_file "$MNT/$d/${d//\//-}-$i.txt" "$d $i" $((i * 900)); done
  done
  mkdir -p "$OUT/reformat/old" "$OUT/reformat/new"
  cp -r "$MNT"/. "$OUT/reformat/old/"
  umount "$MNT"
  run mkfs.exfat -c 16K "$LOOP"
  mount_fuse mount.exfat-fuse "$LOOP"
  mkdir -p "$MNT/Later/inner"
  text_file "$MNT/Later/later-1.txt" "later 1" 300
  text_file "$MNT/Later/inner/later-2.txt" "later 2" 600
  cp -r "$MNT"/. "$OUT/reformat/new/"
  umount "$MNT"
  losetup -d "$LOOP"; LOOP=''
}
make_reformatted

# One volume as a virtual machine's disk holds it: behind an MBR, in every image format.
make_disks() {  # make_disks NAME
  local vol=$OUT/$1.img raw=$WORK/exfat-disk.raw sectors
  log "making the disks of $1"
  sectors=$(($(stat -c %s "$vol") / 512))
  truncate -s $(((sectors + 4096) * 512)) "$raw"
  printf 'label: dos\nstart=2048, size=%d, type=7\n' "$sectors" | run sfdisk -q "$raw"
  dd if="$vol" of="$raw" bs=1M seek=1 conv=notrunc,sparse status=none
  run qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$raw" "$OUT/exfat-disk.vmdk"
  run qemu-img convert -f raw -O vdi "$raw" "$OUT/exfat-disk.vdi"
  run qemu-img convert -f raw -O vpc -o subformat=dynamic "$raw" "$OUT/exfat-disk.vhd"
  rm -f "$raw"
}
make_disks exfat-c4k

image_script_done
