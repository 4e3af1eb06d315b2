#!/usr/bin/env bash
# Makes the hostile disks of the FAT walks at full size: a FAT32 volume of one-sector
# clusters formatted by mkfs.fat inside an MBR disk (sfdisk), 2 GiB (8 GiB at four times),
# whose every data cluster from the first folder's on lies in one FAT chain, with folders
# nested along it, 2100 (8400) deep, each one cluster: the chain of each folder runs on
# through all the deeper ones and on to the end of the volume, 4 (16) million clusters.
#   fat-longchain-N   N is 1 or 4.
# Each is a sparse raw disk named .vmdk (read as a flat VMDK without descriptor), the
# volume at sector 2048. OUTDIR/sizes lists "name bytes" of every disk.
#
#   make_hostile_walks_long.sh OUTDIR
#
# Cached (tests/support/image_script.sh): made again from scratch only when this script
# changes. Needs no root.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"
export LC_ALL=C.UTF-8 TZ=UTC

need_tools "dosfstools fdisk python3" mkfs.fat sfdisk python3
image_script_fresh

for n in 1 4; do
  name=fat-longchain-$n img=$OUT/fat-longchain-$n.vmdk
  truncate -s "$((n * 2048))M" "$img"
  printf 'label: dos\nstart=2048, type=c\n' | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
  # Formatted in place: the volume fills the partition (its size in KiB).
  mkfs.fat -F 32 -s 1 --offset 2048 "$img" $((n * 2048 * 1024 - 1024)) >>"$WORK/tools.log" 2>&1
  python3 - "$img" $((2100 * n)) <<'PY'
import array, struct, sys
path, count = sys.argv[1], int(sys.argv[2])
f = open(path, "r+b")
base = 2048 * 512  # the volume's place on the disk
f.seek(base)
boot = f.read(512)
spc, reserved, nfats = boot[13], struct.unpack_from("<H", boot, 14)[0], boot[16]
total, fatsz, root = struct.unpack_from("<I", boot, 32)[0], struct.unpack_from("<I", boot, 36)[0], struct.unpack_from("<I", boot, 44)[0]
data = reserved + nfats * fatsz
last = (total - data) // spc + 1

def put(offset, blob):  # offset inside the volume
    f.seek(base + offset)
    f.write(blob)

def cluster_at(c):
    return (data + (c - 2) * spc) * 512

def entry(name11, first):
    e = bytearray(32)
    e[0:11] = name11
    e[11] = 0x10
    struct.pack_into("<H", e, 20, first >> 16)
    struct.pack_into("<H", e, 26, first & 0xFFFF)
    struct.pack_into("<H", e, 24, (45 << 9) | (6 << 5) | 15)
    return bytes(e)

first = 100
put(cluster_at(root), entry(b"D0000000   ", first))
for i in range(count):
    c = first + i
    body = entry(b".          ", c) + entry(b"..         ", 0 if i == 0 else c - 1)
    if i + 1 < count:
        body += entry(b"D%07d   " % (i + 1), c + 1)
    put(cluster_at(c), body)
# One chain from the first folder's cluster to the volume's last, in every FAT copy.
chain = array.array("I", range(first + 1, last + 1))
chain[-1] = 0x0FFFFFFF
for k in range(nfats):
    put((reserved + k * fatsz) * 512 + 4 * first, chain.tobytes())
PY
  printf '%s %s\n' "$name" "$(stat -c %s "$img")" >>"$OUT/sizes"
done
image_script_done
