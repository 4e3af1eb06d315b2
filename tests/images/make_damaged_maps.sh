#!/usr/bin/env bash
# Makes small disks stored by qemu-img in every sub-format it writes, then damages the maps
# and headers that tell where their data lies. The disk: an MBR (sfdisk) with one FAT16
# volume (mkfs.fat) from sector 2048, holding 24 files of no zero byte (mtools) that fill it
# from 1 MiB to about 14 MiB; two GPT disks of two FAT16 volumes each, one by sgdisk, one by
# sfdisk. The Sleuth Kit's view of every file is kept beside them.
#
#   make_damaged_maps.sh OUTDIR
#
# OUTDIR/disk.raw, disk.md5      the MBR disk, and "md5<TAB>path" of every file (icat)
# OUTDIR/sound/NAME              the disk as qemu-img wrote it: vhd-dynamic.vhd, vhd-fixed.vhd,
#                                vdi-dynamic.vdi, vdi-static.vdi, vmdk-sparse.vmdk,
#                                vmdk-split/disk.vmdk (twoGbMaxExtentSparse),
#                                vmdk-stream.vmdk, vmdk-flat/disk.vmdk (monolithicFlat)
# OUTDIR/vhd-blocksize.vhd       dynamic VHD, block size 0x80000000, header checksum right
# OUTDIR/vhd-bat-past-end.vhd    dynamic VHD, the BAT entry of block 4 past the file's end
# OUTDIR/vhd-differencing.vhd    dynamic VHD whose footer says differencing (checksum right)
# OUTDIR/vdi-repeat.vdi          dynamic VDI, block 9 naming block 8's data block
# OUTDIR/vdi-past-end.vdi        static VDI, the entry of block 9 past the file's end
# OUTDIR/vmdk-grain-past-end.vmdk  monolithicSparse, grain 128's entry past the file's end
#                                in both grain directories' tables
# OUTDIR/vmdk-split-past-end/disk.vmdk  the same in the extent of a twoGbMaxExtentSparse
# OUTDIR/vmdk-renamed.vmdk       the sound monolithicSparse under another name
# OUTDIR/gpt-sgdisk.raw, gpt-sfdisk.raw      sound GPT disks; gpt1.md5, gpt2.md5 the files of
#                                their volumes (the same on both)
# OUTDIR/gpt-sgdisk-header.raw   the primary header's entry count cut to 1 (its CRC fails)
# OUTDIR/gpt-sfdisk-entries.raw  the primary array's second entry zeroed (the array CRC fails)
# OUTDIR/gpt-nested.raw          sgdisk's disk with a third entry starting inside the first
#                                (18432-34815), holding a FAT12 volume of its own (gpt3.md5),
#                                and a fourth (4096-8191) over the first volume's file data;
#                                both tables' CRCs made right
# Cached (tests/support/image_script.sh): made again from scratch only when this script
# changes. Needs no root.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"
export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1

need_tools "fdisk gdisk dosfstools mtools sleuthkit python3 qemu-utils" \
  sfdisk sgdisk mkfs.fat mcopy mmd fls icat md5sum python3 qemu-img
image_script_fresh

# files DIR COUNT SEED: COUNT files of 20 KB to 1.1 MB in two folders, no byte of them zero.
files() {
  python3 - "$@" <<'EOF'
import os, random, sys
root, count, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
for i in range(count):
    folder = os.path.join(root, "Dir%d" % (i % 2))
    os.makedirs(folder, exist_ok=True)
    size = rng.choice([20000, 90000, 300000, 700000, 1100000]) + rng.randrange(4096)
    block = bytes(rng.randrange(1, 256) for _ in range(4096))
    with open(os.path.join(folder, "file%02d.bin" % i), "wb") as f:
        f.write((block * (size // 4096 + 1))[:size])
EOF
}

# fat_volume FILE SECTORS LABEL COUNT SEED [BITS]: a FAT16 (FAT BITS) volume of SECTORS
# with COUNT files.
fat_volume() {
  local vol=$1 sectors=$2 label=$3 count=$4 seed=$5 bits=${6:-16}
  rm -f "$vol"
  run mkfs.fat -F "$bits" -n "$label" -C "$vol" "$((sectors / 2))"
  rm -rf "$WORK/files"
  files "$WORK/files" "$count" "$seed"
  run mcopy -s -i "$vol" "$WORK/files/Dir0" "$WORK/files/Dir1" ::/
}

# oracle DISK START: "md5<TAB>path" of every file of the volume at START, as icat reads it.
oracle() {
  local disk=$1 start=$2 inode path
  while IFS=$'\t' read -r inode path; do
    printf '%s\t%s\n' "$(icat -o "$start" "$disk" "$inode" | md5sum | cut -d' ' -f1)" "$path"
  done < <(fls -r -p -o "$start" "$disk" |
             awk -F'\t' '$1 ~ /^r\/r/ && $1 !~ /\*/ && $2 !~ /^\$/ && $2 !~ /\(Volume Label Entry\)$/ { split($1, h, " "); sub(":$", "", h[2]); print h[2] "\t" $2 }') |
    LC_ALL=C sort -k2
}

# The MBR disk: 32 MiB, the volume from sector 2048 to the end.
truncate -s 32M "$OUT/disk.raw"
printf 'label: dos\nstart=2048, type=6\n' | run sfdisk -q "$OUT/disk.raw"
fat_volume "$WORK/vol" $((65536 - 2048)) MAPS 24 20261207
dd if="$WORK/vol" of="$OUT/disk.raw" bs=1M seek=1 conv=notrunc status=none
oracle "$OUT/disk.raw" 2048 >"$OUT/disk.md5"
[[ $(wc -l <"$OUT/disk.md5") -eq 24 ]] || die "fls listed $(wc -l <"$OUT/disk.md5") files, not 24"

# The sound images.
mkdir -p "$OUT/sound/vmdk-split" "$OUT/sound/vmdk-flat"
convert() { run qemu-img convert -f raw -O "$1" ${2:+-o "$2"} "$OUT/disk.raw" "$OUT/sound/$3"; }
convert vpc subformat=dynamic vhd-dynamic.vhd
convert vpc subformat=fixed,force_size=on vhd-fixed.vhd
convert vdi '' vdi-dynamic.vdi
convert vdi static=on vdi-static.vdi
convert vmdk subformat=monolithicSparse vmdk-sparse.vmdk
convert vmdk subformat=twoGbMaxExtentSparse vmdk-split/disk.vmdk
convert vmdk subformat=streamOptimized vmdk-stream.vmdk
convert vmdk subformat=monolithicFlat vmdk-flat/disk.vmdk

# The damaged copies: each field rewritten in place by python.
cp "$OUT/sound/vhd-dynamic.vhd" "$OUT/vhd-blocksize.vhd"
cp "$OUT/sound/vhd-dynamic.vhd" "$OUT/vhd-bat-past-end.vhd"
cp "$OUT/sound/vhd-dynamic.vhd" "$OUT/vhd-differencing.vhd"
cp "$OUT/sound/vdi-dynamic.vdi" "$OUT/vdi-repeat.vdi"
cp "$OUT/sound/vdi-static.vdi" "$OUT/vdi-past-end.vdi"
cp "$OUT/sound/vmdk-sparse.vmdk" "$OUT/vmdk-grain-past-end.vmdk"
cp "$OUT/sound/vmdk-sparse.vmdk" "$OUT/vmdk-renamed.vmdk"
cp -r "$OUT/sound/vmdk-split" "$OUT/vmdk-split-past-end"
python3 - "$OUT" <<'EOF'
import struct, sys
out = sys.argv[1]

def rw(path):
    return open(path, "r+b")

def vhd_checksum(b, at):
    b[at:at + 4] = b"\0\0\0\0"
    b[at:at + 4] = struct.pack(">I", ~sum(b) & 0xFFFFFFFF)

# Dynamic VHD: the header at 512 (1024 bytes), the BAT where it says, the footer at the end
# and its copy at 0 (512 bytes, checksum at 64).
with rw(out + "/vhd-blocksize.vhd") as f:
    f.seek(512); h = bytearray(f.read(1024))
    h[32:36] = struct.pack(">I", 0x80000000)
    vhd_checksum(h, 36)
    f.seek(512); f.write(h)
with rw(out + "/vhd-bat-past-end.vhd") as f:
    f.seek(512); h = f.read(1024)
    bat = struct.unpack(">Q", h[16:24])[0]
    f.seek(bat + 4 * 4)
    assert struct.unpack(">I", f.read(4))[0] != 0xFFFFFFFF, "block 4 is not allocated"
    f.seek(bat + 4 * 4); f.write(struct.pack(">I", 0x7FFFFF00))
with rw(out + "/vhd-differencing.vhd") as f:
    f.seek(0, 2); end = f.tell()
    for at in (0, end - 512):
        f.seek(at); footer = bytearray(f.read(512))
        footer[60:64] = struct.pack(">I", 4)
        vhd_checksum(footer, 64)
        f.seek(at); f.write(footer)

# VDI: the block map at the u32 at 0x154, little-endian entries.
def vdi_map(f):
    f.seek(0x154); return struct.unpack("<I", f.read(4))[0]
with rw(out + "/vdi-repeat.vdi") as f:
    m = vdi_map(f)
    f.seek(m + 8 * 4); eight = f.read(4)
    assert struct.unpack("<I", eight)[0] < 0xFFFFFFFE, "block 8 is not allocated"
    f.seek(m + 9 * 4); f.write(eight)
with rw(out + "/vdi-past-end.vdi") as f:
    m = vdi_map(f)
    f.seek(m + 9 * 4); f.write(struct.pack("<I", 0x00FFFFFF))

# Sparse VMDK: grain 128 (64 KiB grains, 512 entries a table: the first table) rewritten in
# the tables both grain directories name.
def vmdk_grain_past_end(path):
    with rw(path) as f:
        header = f.read(512)
        assert header[:4] == b"KDMV"
        grain = struct.unpack("<Q", header[20:28])[0]
        entries = struct.unpack("<I", header[44:48])[0]
        assert grain == 128 and entries == 512, (grain, entries)
        for directory in struct.unpack("<QQ", header[48:64]):
            if directory == 0:
                continue
            f.seek(directory * 512); table = struct.unpack("<I", f.read(4))[0]
            f.seek(table * 512 + 128 * 4)
            assert struct.unpack("<I", f.read(4))[0] > 1, "grain 128 is not allocated"
            f.seek(table * 512 + 128 * 4); f.write(struct.pack("<I", 0x7FFFFF00))
vmdk_grain_past_end(out + "/vmdk-grain-past-end.vmdk")
vmdk_grain_past_end(out + "/vmdk-split-past-end/disk-s001.vmdk")
EOF

# The GPT disks: 48 MiB, two FAT16 volumes of 16 MiB at 2048 and 34816.
gpt_disk() {
  local disk=$1
  fat_volume "$WORK/gpt1" 32768 GPTONE 6 1
  fat_volume "$WORK/gpt2" 32768 GPTTWO 6 2
  dd if="$WORK/gpt1" of="$disk" bs=512 seek=2048 conv=notrunc status=none
  dd if="$WORK/gpt2" of="$disk" bs=512 seek=34816 conv=notrunc status=none
}
truncate -s 48M "$OUT/gpt-sgdisk.raw" "$OUT/gpt-sfdisk.raw"
run sgdisk -o -n 1:2048:34815 -t 1:0700 -n 2:34816:67583 -t 2:0700 "$OUT/gpt-sgdisk.raw"
printf 'label: gpt\nstart=2048, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\nstart=34816, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n' |
  run sfdisk -q "$OUT/gpt-sfdisk.raw"
gpt_disk "$OUT/gpt-sgdisk.raw"
gpt_disk "$OUT/gpt-sfdisk.raw"
oracle "$OUT/gpt-sgdisk.raw" 2048 >"$OUT/gpt1.md5"
oracle "$OUT/gpt-sgdisk.raw" 34816 >"$OUT/gpt2.md5"

cp "$OUT/gpt-sgdisk.raw" "$OUT/gpt-sgdisk-header.raw"
cp "$OUT/gpt-sfdisk.raw" "$OUT/gpt-sfdisk-entries.raw"
cp "$OUT/gpt-sgdisk.raw" "$OUT/gpt-nested.raw"
# The nested entry: a third basic data entry from sector 18432 to the first volume's end,
# holding a FAT12 volume of its own over the first volume's unused end.
fat_volume "$WORK/gpt3" 16384 NESTED 2 3 12
dd if="$WORK/gpt3" of="$OUT/gpt-nested.raw" bs=512 seek=18432 conv=notrunc status=none
oracle "$OUT/gpt-nested.raw" 18432 >"$OUT/gpt3.md5"
python3 - "$OUT" <<'EOF'
import struct, sys, zlib
out = sys.argv[1]

def crc_header(h):
    size = struct.unpack("<I", h[12:16])[0]
    h[16:20] = b"\0\0\0\0"
    h[16:20] = struct.pack("<I", zlib.crc32(bytes(h[:size])))

with open(out + "/gpt-sgdisk-header.raw", "r+b") as f:
    f.seek(512); h = bytearray(f.read(512))
    h[0x50:0x54] = struct.pack("<I", 1)  # the CRC is left as it was
    f.seek(512); f.write(h)
with open(out + "/gpt-sfdisk-entries.raw", "r+b") as f:
    f.seek(512); h = f.read(512)
    array = struct.unpack("<Q", h[0x48:0x50])[0]
    f.seek(array * 512 + 128); f.write(bytes(128))
with open(out + "/gpt-nested.raw", "r+b") as f:
    f.seek(0, 2); last = f.tell() // 512 - 1
    for at in (1, last):
        f.seek(at * 512); h = bytearray(f.read(512))
        array, count, size = struct.unpack("<QII", h[0x48:0x58])
        f.seek(array * 512); entries = bytearray(f.read(count * size))
        entry = bytearray(entries[0:128])
        entry[16:32] = bytes(range(1, 17))                      # its own unique GUID
        entry[32:48] = struct.pack("<QQ", 18432, 34815)
        entry[56:128] = bytes(72)
        entries[256:384] = entry
        # A fourth from sector 4096 to 8191, where the first volume holds file data.
        entry[16] = 0x11
        entry[32:48] = struct.pack("<QQ", 4096, 8191)
        entries[384:512] = entry
        f.seek(array * 512); f.write(entries)
        h[0x58:0x5C] = struct.pack("<I", zlib.crc32(bytes(entries)))
        crc_header(h)
        f.seek(at * 512); f.write(h)
EOF

image_script_done
