#!/usr/bin/env bash
# Makes disks whose copy stopped early: an MBR disk holding one volume (NTFS filled through
# ntfs-3g, FAT32 through mtools, exFAT through exfat-fuse), stored as a flat VMDK of two
# extents, the first 2048 sectors and the volume. The cut copy's volume extent holds only
# the first half of the volume (NTFS: up to the middle of a file past the half); the whole
# copy is kept beside it, with The Sleuth Kit's view of every file.
#
#   make_cut_images.sh OUTDIR
#
# OUTDIR/FS.vmdk        the whole disk (FS: ntfs, fat32, exfat): descriptor,
#                       FS-head.bin (sectors 0-2047), FS-vol.bin (the volume)
# OUTDIR/FS-cut.vmdk    the same descriptor over FS-head.bin and FS-cut.bin, the volume's
#                       first half
# OUTDIR/FS-cut-sparse.vmdk   the whole disk converted by qemu-img to a monolithicSparse
#                       VMDK, then cut to half the file's length
# OUTDIR/FS.md5         "md5<TAB>path" of every regular file (icat of the whole disk)
# Needs root (loop devices, FUSE). Cached (tests/support/image_script.sh): made again from
# scratch only when this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1

need_tools "fdisk ntfs-3g dosfstools mtools exfatprogs exfat-fuse sleuthkit python3 qemu-utils" \
  sfdisk mkntfs ntfs-3g mkfs.fat mmd mcopy mkfs.exfat mount.exfat-fuse losetup fls icat istat fsstat md5sum python3 qemu-img

START=2048
# 48 files of 1 KiB to about 1.5 MiB (22 MB in all) in three folders, no byte of them zero:
# where the copy stopped, a file read as whole would hold zeros.
make_files() {
  python3 - "$1" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261207)
for i in range(48):
    folder = os.path.join(root, "Set%d" % (i % 3))
    os.makedirs(folder, exist_ok=True)
    size = rng.choice([1000, 5000, 40000, 300000, 900000, 1500000]) + rng.randrange(4096)
    data = bytes(rng.randrange(1, 256) for _ in range(4096))
    with open(os.path.join(folder, "file%02d.bin" % i), "wb") as f:
        f.write((data * (size // 4096 + 1))[:size])
EOF
}

# oracle FS FSTYPE DISK: md5 and path of every live regular file, as icat gives it.
oracle() {
  local fs=$1 type=$2 disk=$3 inode path
  while IFS=$'\t' read -r inode path; do
    printf '%s\t%s\n' "$(icat -f "$type" -o $START "$disk" "$inode" | md5sum | cut -d' ' -f1)" "$path"
  done < <(fls -f "$type" -r -p -o $START "$disk" |
             awk -F'\t' '$1 ~ /^r\/r/ && $1 !~ /\*/ && $2 !~ /^\$/ && $2 !~ /:/ && $2 !~ /\(Volume Label Entry\)$/ { split($1, h, " "); sub(":$", "", h[2]); print h[2] "\t" $2 }') |
    LC_ALL=C sort -k2 >"$OUT/$fs.md5"
  [[ $(wc -l <"$OUT/$fs.md5") -ge 48 ]] || die "$fs: fls listed $(wc -l <"$OUT/$fs.md5") files, not 48"
}

# split_disk FS VOLSECTORS [CUT]: FS.vmdk and FS-cut.vmdk from the whole disk in WORK/FS.raw;
# the cut copy keeps the volume's first CUT sectors (default: half of them).
split_disk() {
  local fs=$1 sectors=$2 raw=$WORK/$1.raw cut=${3:-$(($2 / 2))}
  dd if="$raw" of="$OUT/$fs-head.bin" bs=512 count=$START status=none
  dd if="$raw" of="$OUT/$fs-vol.bin" bs=512 skip=$START count="$sectors" conv=sparse status=none
  truncate -s "$((sectors * 512))" "$OUT/$fs-vol.bin"
  dd if="$OUT/$fs-vol.bin" of="$OUT/$fs-cut.bin" bs=512 count="$cut" conv=sparse status=none
  truncate -s "$((cut * 512))" "$OUT/$fs-cut.bin"
  local name
  for name in "$fs:vol" "$fs-cut:cut"; do
    printf '# Disk DescriptorFile\nversion=1\nCID=5e1dc0de\nparentCID=ffffffff\ncreateType="twoGbMaxExtentFlat"\n\n' \
      >"$OUT/${name%%:*}.vmdk"
    printf 'RW %d FLAT "%s-head.bin" 0\nRW %d FLAT "%s-%s.bin" 0\n' $START "$fs" "$sectors" "$fs" "${name#*:}" \
      >>"$OUT/${name%%:*}.vmdk"
    printf '\nddb.virtualHWVersion = "4"\nddb.geometry.cylinders = "%d"\nddb.geometry.heads = "16"\nddb.geometry.sectors = "63"\nddb.adapterType = "ide"\n' \
      $(((START + sectors) / 1008 + 1)) >>"$OUT/${name%%:*}.vmdk"
  done
  # A sparse VMDK stores only the grains the disk uses: cut halfway through them. (A cut
  # VDI is refused whole: its block map names blocks past the file's end.)
  local file=$OUT/$fs-cut-sparse.vmdk
  run qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$raw" "$file"
  truncate -s $(($(stat -c %s "$file") / 1024 * 512)) "$file"
}

# disk_with FS TYPEBYTE VOLSECTORS: an MBR disk in WORK/FS.raw with one partition at START.
disk_with() {
  truncate -s $(((START + $3) * 512)) "$WORK/$1.raw"
  printf 'label: dos\nlabel-id: 0x5e1dc0de\nstart=%d, size=%d, type=%s\n' $START "$3" "$2" | run sfdisk -q "$WORK/$1.raw"
}

# fill_mounted DIR: copies the files in and leaves the mount point.
fill_mounted() { cp -r "$WORK/files/." "$1/"; sync; }

build_ntfs() {
  local sectors=98304 vol=$WORK/ntfs.vol
  disk_with ntfs 7 $sectors
  truncate -s $((sectors * 512)) "$vol"
  run mkntfs -F -Q -q -p $START -H 255 -S 63 -L CUTNTFS "$vol"
  mount_ntfs "$vol"
  fill_mounted "$MNT"
  release_volume
  dd if="$vol" of="$WORK/ntfs.raw" bs=512 seek=$START conv=notrunc,sparse status=none
  oracle ntfs ntfs "$WORK/ntfs.raw"
  # NTFS keeps its $MFT copy in the volume's middle and ntfs-3g leaves room around it, so a
  # cut at the middle may cut through no file: the copy stops in the middle of the longest
  # first run of file data that starts past the volume's middle.
  local spc inode cut
  spc=$(($(fsstat -f ntfs "$vol" | sed -n 's/^Cluster Size: \([0-9]*\)$/\1/p') / 512))
  cut=$(fls -f ntfs -r -p "$vol" | awk -F'\t' '$1 ~ /^r\/r/ && $2 ~ /^Set/ { split($1, h, " "); split(h[2], q, "-"); print q[1] }' |
          while read -r inode; do
            istat -f ntfs "$vol" "$inode" | sed -n '/^Type: \$DATA/,$p' | grep -E '^[0-9]' | tr ' ' '\n' | grep . |
              awk 'NR == 1 { f = $1 } { if ($1 != p + 1 && NR > 1) exit; p = $1 } END { print f, p }'
          done |
          awk -v half=$((sectors / 2)) -v spc="$spc" '$1 * spc >= half && $2 - $1 > best { best = $2 - $1; cut = int(($1 + $2 + 1) / 2) * spc }
                                                      END { print cut }')
  [[ -n $cut ]] || die "ntfs: no file data past the volume's middle"
  split_disk ntfs $sectors "$cut"
}

build_fat32() {
  # As small as a FAT32 of one-sector clusters may be: the files reach past its middle.
  local sectors=73728 p
  disk_with fat32 c $sectors
  run mkfs.fat -F 32 -s 1 --invariant -h $START -n CUTFAT32 --offset=$START "$WORK/fat32.raw" $((sectors / 2))
  local img="$WORK/fat32.raw@@$((START * 512))"
  while IFS= read -r p; do run mmd -i "$img" "::/$p"; done < <(cd "$WORK/files" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort)
  while IFS= read -r p; do run mcopy -i "$img" "$WORK/files/$p" "::/$p"; done < <(cd "$WORK/files" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  oracle fat32 fat "$WORK/fat32.raw"
  split_disk fat32 $sectors
}

build_exfat() {
  local sectors=98304 vol=$WORK/exfat.vol
  disk_with exfat 7 $sectors
  truncate -s $((sectors * 512)) "$vol"
  run mkfs.exfat -L CUTEXFAT "$vol"
  attach_loop "$vol"
  mount_fuse mount.exfat-fuse "$LOOP"
  fill_mounted "$MNT"
  release_volume
  dd if="$vol" of="$WORK/exfat.raw" bs=512 seek=$START conv=notrunc,sparse status=none
  oracle exfat exfat "$WORK/exfat.raw"
  split_disk exfat $sectors
}

image_script_fresh .qelda-cut
mkdir -p "$WORK/files"
make_files "$WORK/files"
build_ntfs
build_fat32
build_exfat
image_script_done
