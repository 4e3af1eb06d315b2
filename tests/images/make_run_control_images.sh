#!/usr/bin/env bash
# Makes the disks check_run_control.sh runs the whole command on, each at two sizes (1 and 4:
# four times the files and bytes):
#
#   OUTDIR/exfat-N.vmdk  an exFAT volume (mkfs.exfat, 512-byte clusters, filled through
#                        exfat-fuse over a loop device) large enough for its FAT copy to live in
#                        a work file: big.bin (N x 24 MiB of random bytes) first in the root,
#                        then N x 2,000 small files with long names
#   OUTDIR/exfat-N.md5   md5sum of every file written to it (names relative to the root)
#   OUTDIR/exfat-N.fls   fls -r -p of the volume
#   OUTDIR/deep-N.vmdk   a FAT32 volume (mkfs.fat, 512-byte clusters) whose folders a python
#                        fill chains 2,048 deep, with N x 20,000 small files in the deepest
#                        folders (20,000 a folder, the last one first)
#   OUTDIR/deep-N.sum    the number of files and the md5 of their sorted contents
#   OUTDIR/big-FS.vmdk   FS ntfs: an NTFS volume (mkntfs, filled through ntfs-3g); fat32: a
#                        FAT32 volume (mkfs.fat, filled by mcopy); 192 MiB each, holding
#                        Big.bin (160 MiB: 4 KiB of random bytes at the start of every MiB,
#                        zeros between, so that the disk stays small), then 20 small files
#   OUTDIR/big-FS.md5    md5sum of what icat reads of every file fls lists on it
# Each volume is the one partition of an MBR disk (at sector 2048) made by sfdisk, converted
# to a monolithicSparse VMDK by qemu-img.
#
#   make_run_control_images.sh OUTDIR
# Needs root, /dev/fuse and a free loop device. Cached (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"
export LC_ALL=C.UTF-8 TZ=UTC

need_tools "exfatprogs exfat-fuse dosfstools mtools ntfs-3g sleuthkit fdisk qemu-utils python3" \
  mkfs.exfat mount.exfat-fuse losetup mkfs.fat mcopy mkntfs ntfs-3g fls icat md5sum sfdisk qemu-img python3
image_script_fresh

# as_disk VOLUME TYPE NAME: VOLUME as partition 1 (of that MBR type) of OUTDIR/NAME.vmdk;
# VOLUME is removed.
as_disk() {
  local volume=$1 type=$2 disk=$WORK/$3.raw
  truncate -s $(($(stat -c %s "$volume") + 1024 * 1024)) "$disk"
  echo "2048,,$type" | run sfdisk "$disk"
  run dd if="$volume" of="$disk" bs=1M seek=1 conv=notrunc,sparse
  run qemu-img convert -f raw -O vmdk "$disk" "$OUT/$3.vmdk"
  rm -f "$volume" "$disk"
}

# ---------------------------------------------------------------- exFAT, filled through FUSE
make_exfat() {
  local n=$1 img=$WORK/exfat-$1.img files=$WORK/exfat-$1 i
  mkdir -p "$files"
  head -c $((n * 24 * 1024 * 1024)) /dev/urandom >"$files/big.bin"
  for ((i = 1; i <= n * 2000; i++)); do
    printf 'small file %06d of the exFAT run-control disk\n' "$i" >"$(printf '%s/a-listing-line-long-enough-to-fill-a-pipe-%06d.txt' "$files" "$i")"
  done
  truncate -s $((n * 160))M "$img"
  run mkfs.exfat -c 512 "$img"
  attach_loop "$img"
  mount_fuse mount.exfat-fuse "$LOOP"
  # big.bin first: the root lists it first, and saving it takes long enough for a signal.
  cp "$files/big.bin" "$MNT/"
  find "$files" -name 'a-*.txt' -print0 | sort -z | xargs -0 cp -t "$MNT/"
  release_volume
  (cd "$files" && md5sum -- *) >"$OUT/exfat-$n.md5"
  fls -r -p "$img" >"$OUT/exfat-$n.fls"
  rm -rf "$files"
  as_disk "$img" 07 "exfat-$n"
}

# ---------------------------------------------------------------- FAT32 folders 2,048 deep
make_deep() {
  local n=$1 img=$WORK/deep-$1.img
  truncate -s $((n * 36))M "$img"
  run mkfs.fat -F 32 -s 1 -S 512 "$img"
  python3 - "$img" "$n" "$OUT/deep-$n.sum" <<'EOF'
import hashlib, struct, sys

path, n, sums = sys.argv[1], int(sys.argv[2]), sys.argv[3]
DEPTH, PER_FOLDER = 2048, 20000
img = open(path, "r+b")
boot = img.read(512)
bps, spc = struct.unpack_from("<H", boot, 11)[0], boot[13]
reserved, fats = struct.unpack_from("<H", boot, 14)[0], boot[16]
fat_sectors, root = struct.unpack_from("<I", boot, 36)[0], struct.unpack_from("<I", boot, 44)[0]
fsinfo = struct.unpack_from("<H", boot, 48)[0]
cluster_bytes = bps * spc
data_start = (reserved + fats * fat_sectors) * bps
fat = {}
next_cluster = root + 1

def allocate(count):
    global next_cluster
    first = next_cluster
    for c in range(first, first + count):
        fat[c] = c + 1 if c + 1 < first + count else 0x0FFFFFFF
    next_cluster += count
    return first

def write_at(cluster, data):
    img.seek(data_start + (cluster - 2) * cluster_bytes)
    img.write(data)

def entry(name, ext, attr, cluster, size):
    e = bytearray(32)
    e[0:11] = (name.ljust(8) + ext.ljust(3)).encode("ascii")
    e[11] = attr
    struct.pack_into("<HHH", e, 14, 0x6000, 0x5A21, 0x5A21)  # 12:00, 2025-01-01
    struct.pack_into("<HHHHI", e, 20, cluster >> 16, 0x6000, 0x5A21, cluster & 0xFFFF, size)
    return bytes(e)

def clusters_for(nbytes):
    return max(1, -(-nbytes // cluster_bytes))

# The chain of folders: LEVEL in the root, LEVEL in it, ... DEPTH deep; the files go into the
# deepest folders, PER_FOLDER each, starting with the last.
holders = {DEPTH - k: min(PER_FOLDER, n * 20000 - k * PER_FOLDER) for k in range(-(-n * 20000 // PER_FOLDER))}
contents = hashlib.md5()
texts = []
file_number = 0
folders = [allocate(clusters_for((2 + 1 + holders.get(level, 0)) * 32)) for level in range(1, DEPTH + 1)]
# The root already exists: only its first free slot is taken.
img.seek(data_start + (root - 2) * cluster_bytes)
slots = img.read(cluster_bytes)
free = next(i for i in range(0, cluster_bytes, 32) if slots[i] == 0)
img.seek(data_start + (root - 2) * cluster_bytes + free)
img.write(entry("LEVEL", "", 0x10, folders[0], 0))
for level in range(1, DEPTH + 1):
    me = folders[level - 1]
    parent = folders[level - 2] if level > 1 else 0
    entries = [entry(".", "", 0x10, me, 0), entry("..", "", 0x10, parent, 0)]
    if level < DEPTH:
        entries.append(entry("LEVEL", "", 0x10, folders[level], 0))
    for _ in range(holders.get(level, 0)):
        file_number += 1
        text = b"deep file %07d of the run-control disk\n" % file_number
        texts.append(text)
        c = allocate(1)
        write_at(c, text)
        entries.append(entry("F%07d" % file_number, "TXT", 0x20, c, len(text)))
    write_at(me, b"".join(entries))
total = (struct.unpack_from("<I", boot, 32)[0] - reserved - fats * fat_sectors) // spc
assert next_cluster < total + 2, "the volume is too small"
for copy in range(fats):
    base = (reserved + copy * fat_sectors) * bps
    for c, value in fat.items():
        img.seek(base + c * 4)
        img.write(struct.pack("<I", value))
# The free count and the next free cluster are no longer what mkfs.fat wrote: unknown.
img.seek(fsinfo * bps + 488)
img.write(struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFF))
for t in sorted(texts):
    contents.update(t)
open(sums, "w").write("%d %s\n" % (file_number, contents.hexdigest()))
EOF
  as_disk "$img" 0c "deep-$n"
}

# ---------------------------------------------------------------- one big file on NTFS and FAT32
# icat_md5s IMAGE: md5sum lines of every file fls lists on IMAGE (no folder, no named stream,
# none of the files TSK makes up for FAT), as icat reads it, named by its path.
icat_md5s() {
  local meta path inode
  fls -r -p -F "$1" | while IFS=$'\t' read -r meta path; do
    [[ $path == *:* || $path == '$OrphanFiles'* || $path == '$MBR' || $path == '$FAT'[12] ]] && continue
    inode=${meta##* }
    printf '%s  %s\n' "$(icat "$1" "${inode%:}" | md5sum | cut -d' ' -f1)" "$path"
  done
}

make_big() {
  local fs=$1 img=$WORK/big-$1.img files=$WORK/big-$1 i
  mkdir -p "$files"
  python3 -c 'import os, sys
with open(sys.argv[1], "wb") as f:
    for mib in range(160):
        f.seek(mib << 20)
        f.write(os.urandom(4096))
    f.truncate(160 << 20)' "$files/Big.bin"
  for ((i = 1; i <= 20; i++)); do printf 'small file %02d after Big.bin\n' "$i" >"$files/Small-$i.txt"; done
  truncate -s 192M "$img"
  # Big.bin first: the root lists it first after the system files, and saving it takes long
  # enough for a signal.
  if [[ $fs == ntfs ]]; then
    mkntfs -F -Q -q -c 4096 -L qeldabig "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"
    mount_ntfs "$img"
    cp --sparse=never "$files/Big.bin" "$MNT/"
    cp "$files"/Small-*.txt "$MNT/"
    release_volume
  else
    run mkfs.fat -F 32 "$img"
    run mcopy -i "$img" "$files/Big.bin" ::/
    for ((i = 1; i <= 20; i++)); do run mcopy -i "$img" "$files/Small-$i.txt" ::/; done
  fi
  icat_md5s "$img" >"$OUT/big-$fs.md5"
  grep -q '  Big.bin$' "$OUT/big-$fs.md5" || die "Big.bin is not on the $fs volume"
  rm -rf "$files"
  as_disk "$img" "$([[ $fs == ntfs ]] && echo 07 || echo 0c)" "big-$fs"
}

for fs in ntfs fat32; do
  log "$fs with one big file"
  make_big "$fs"
done
for n in 1 4; do
  log "exFAT x$n"
  make_exfat "$n"
  log "FAT32 2048 deep x$n"
  make_deep "$n"
done
image_script_done
