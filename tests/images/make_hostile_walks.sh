#!/usr/bin/env bash
# Makes the hostile disks of the directory walks: volumes formatted by the real tools
# (mkfs.fat, mkfs.exfat) inside an MBR disk (sfdisk), then given directories crafted to
# make the walks' work grow faster than the disk, each at one size and at four times it:
#   fat-nested-N      FAT32 of one-sector clusters: folders nested 2100 deep (8400 at 4x),
#                     each one cluster, along one chain through the whole data area;
#   fat-lost-N        FAT32: 20000 (80000) directory clusters no entry leads to, each
#                     naming the next as its parent (".."); the root is empty;
#   fat-pastend-N     FAT32: a deleted file in the root starting at the volume's last
#                     cluster, 4 MiB (16 MiB) long;
#   exfat-chains-N    exFAT of 512-byte clusters: folders nested 2100 (8400) deep, each
#                     claiming 256 MiB along a chain of one cluster;
#   exfat-contig-N    the same claims contiguous (no FAT chain), so that each covers all
#                     the deeper ones;
#   exfat-siblings-N  100 (400) empty folders in the root, each claiming 256 MiB;
# N is 1 or 4. Each is a raw disk named .vmdk (read as a flat VMDK without descriptor),
# the volume at sector 2048. OUTDIR/sizes lists "name bytes" of every disk.
#
#   make_hostile_walks.sh OUTDIR
#
# Cached (tests/support/image_script.sh): made again from scratch only when this script
# changes. Needs no root.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"
export LC_ALL=C.UTF-8 TZ=UTC

need_tools "dosfstools exfatprogs fdisk python3" mkfs.fat mkfs.exfat sfdisk python3
image_script_fresh

# disk NAME MIB FORMAT...: a disk of MIB MiB whose one partition (from sector 2048) is
# formatted by FORMAT VOLUMEFILE; the volume is left in $WORK/NAME.vol for the patcher.
disk() {
  local name=$1 mib=$2; shift 2
  local vol=$WORK/$name.vol img=$OUT/$name.vmdk
  truncate -s "$((mib * 1024 * 1024 - 1024 * 1024))" "$vol"
  "$@" "$vol" >>"$WORK/tools.log" 2>&1
  truncate -s "${mib}M" "$img"
  printf 'label: dos\nstart=2048, type=%s\n' "$TYPE" | sfdisk -q "$img" >>"$WORK/tools.log" 2>&1
}
# place NAME: the patched volume into its disk.
place() {
  dd if="$WORK/$1.vol" of="$OUT/$1.vmdk" bs=1M seek=1 conv=notrunc,sparse status=none
  printf '%s %s\n' "$1" "$(stat -c %s "$OUT/$1.vmdk")" >>"$OUT/sizes"
  rm -f "$WORK/$1.vol"
}

# patch PATTERN VOLUME COUNT: the crafted directories, written by python.
patch() {
  python3 - "$@" <<'PY'
import struct, sys
pattern, path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
f = open(path, "r+b")
boot = bytearray(f.read(512))

def put(offset, data):
    f.seek(offset)
    f.write(data)

if pattern.startswith("fat"):
    spc, reserved, nfats = boot[13], struct.unpack_from("<H", boot, 14)[0], boot[16]
    total, fatsz, root = struct.unpack_from("<I", boot, 32)[0], struct.unpack_from("<I", boot, 36)[0], struct.unpack_from("<I", boot, 44)[0]
    data = reserved + nfats * fatsz
    last = (total - data) // spc + 1
    def cluster_at(c):
        return (data + (c - 2) * spc) * 512
    def set_fat(first, values):  # FAT entries of clusters first.. in every copy
        blob = b"".join(struct.pack("<I", v) for v in values)
        for k in range(nfats):
            put((reserved + k * fatsz) * 512 + 4 * first, blob)
    def entry(name11, attr, first, size=0):
        e = bytearray(32)
        e[0:11] = name11
        e[11] = attr
        struct.pack_into("<H", e, 20, first >> 16)
        struct.pack_into("<H", e, 26, first & 0xFFFF)
        struct.pack_into("<H", e, 24, (45 << 9) | (6 << 5) | 15)
        struct.pack_into("<I", e, 28, size)
        return bytes(e)
    def dots(c, parent):
        return entry(b".          ", 0x10, c) + entry(b"..         ", 0x10, parent)
    first = 100
    if pattern == "fat-nested":
        # Folder k+1 inside folder k; every cluster from the first folder's to the last
        # in one chain.
        put(cluster_at(root), entry(b"D0000000   ", 0x10, first))
        for i in range(count):
            c = first + i
            body = dots(c, 0 if i == 0 else c - 1)
            if i + 1 < count:
                body += entry(b"D%07d   " % (i + 1), 0x10, c + 1)
            put(cluster_at(c), body)
        set_fat(first, [c + 1 for c in range(first, last)] + [0x0FFFFFFF])
    elif pattern == "fat-lost":
        for i in range(count):
            c = first + i
            put(cluster_at(c), dots(c, c + 1))  # the last names a cluster of zeros
    elif pattern == "fat-pastend":
        put(cluster_at(last), b"\x7f" * (spc * 512))
        put(cluster_at(root), entry(b"\xe5AST    BIN", 0x20, last, count))
    sys.exit(0)

# exFAT
fat_offset, fat_length, heap, clusters, root = struct.unpack_from("<IIIII", boot, 80)
cluster_bytes = 512 << boot[109]
def cluster_at(c):
    return heap * 512 + (c - 2) * cluster_bytes
def folder_set(first, length, name, flags):
    s = bytearray(96)
    s[0], s[1], s[4] = 0x85, 2, 0x10
    s[32], s[33], s[35] = 0xC0, flags, len(name)
    struct.pack_into("<QxxxxIQ", s, 40, length, first, length)
    s[64] = 0xC1
    s[66:66 + 2 * len(name)] = name.encode("utf-16-le")
    return bytes(s)
def root_free_slot():
    f.seek(cluster_at(root))
    d = f.read(cluster_bytes)
    for o in range(0, cluster_bytes, 32):
        if d[o] == 0:
            return cluster_at(root) + o
    sys.exit("no free root slot")
claim = 256 * 1024 * 1024
first = clusters // 4
if pattern in ("exfat-chains", "exfat-contig"):
    flags = 0x01 if pattern == "exfat-chains" else 0x03
    put(root_free_slot(), folder_set(first, claim, "F0", flags))
    for i in range(count):
        c = first + i
        if i + 1 < count:
            put(cluster_at(c), folder_set(c + 1, claim, "F%d" % (i + 1), flags))
        if flags == 0x01:
            put(fat_offset * 512 + 4 * c, struct.pack("<I", 0xFFFFFFFF))
elif pattern == "exfat-siblings":
    at = root_free_slot()
    # The root goes on along a chain of fresh clusters (below the first folder's) when its
    # own cannot hold the sets; sets run on from one cluster into the next.
    blob = b"".join(folder_set(first + 8 * i, claim, "S%d" % i, 0x03) for i in range(count))
    room = cluster_at(root) + cluster_bytes - at
    put(at, blob[:room])
    blob, chain = blob[room:], [root]
    while blob:
        c = first - len(chain) - 1
        put(fat_offset * 512 + 4 * chain[-1], struct.pack("<I", c))
        chain.append(c)
        put(cluster_at(c), blob[:cluster_bytes])
        blob = blob[cluster_bytes:]
    put(fat_offset * 512 + 4 * chain[-1], struct.pack("<I", 0xFFFFFFFF))
PY
}

for n in 1 4; do
  TYPE=c
  disk "fat-nested-$n" $((40 * n)) mkfs.fat -F 32 -s 1
  patch fat-nested "$WORK/fat-nested-$n.vol" $((2100 * n))
  place "fat-nested-$n"
  disk "fat-lost-$n" $((42 * n)) mkfs.fat -F 32 -s 1
  patch fat-lost "$WORK/fat-lost-$n.vol" $((20000 * n))
  place "fat-lost-$n"
  disk "fat-pastend-$n" $((40 * n)) mkfs.fat -F 32 -s 1
  patch fat-pastend "$WORK/fat-pastend-$n.vol" $((4 * 1024 * 1024 * n))
  place "fat-pastend-$n"
  TYPE=7
  for p in chains contig; do
    disk "exfat-$p-$n" $((16 * n)) mkfs.exfat -c 512
    patch "exfat-$p" "$WORK/exfat-$p-$n.vol" $((2100 * n))
    place "exfat-$p-$n"
  done
  disk "exfat-siblings-$n" $((16 * n)) mkfs.exfat -c 512
  patch exfat-siblings "$WORK/exfat-siblings-$n.vol" $((100 * n))
  place "exfat-siblings-$n"
done
image_script_done
