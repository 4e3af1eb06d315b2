#!/usr/bin/env bash
# Makes the volumes on which the signature searches of the advanced scans are held to the raw
# scan's rule (files that never overlap, never more than the volume holds) and on which the
# deep scan must still search when the volume lost its free-cluster map:
#
#   make_sigsearch_images.sh OUTDIR
#
#   OUTDIR/fat1m.vmdk, OUTDIR/fat4m.vmdk  FAT12 volumes of 1 and 4 MiB (mkfs.fat) whose every
#                      cluster, free, starts with an AU header that claims 2 GB of sound
#   OUTDIR/ntfsau.vmdk  an 8 MiB NTFS volume (mkntfs, ntfs-3g) whose free clusters hold the same:
#                      a file of 5 MiB of them written and deleted
#   OUTDIR/ntfslost.vmdk  an 8 MiB NTFS volume holding lost.png, then live.png and a few live
#                      files; $MFT's records up to and including lost.png's are zeroed ($Bitmap
#                      with them), so that nothing but its signature tells where lost.png lies
#   OUTDIR/lost.png, OUTDIR/live.png  the pictures as written
# Each disk is an MBR naming one partition at sector 2048, then the volume, as a flat VMDK.
# Needs root and /dev/fuse (ntfs-3g mounts the volume file to fill it).
# Cached (tests/support/image_script.sh).
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC
need_tools "ntfs-3g fuse dosfstools python3" mkntfs ntfs-3g mkfs.fat python3
image_script_fresh

# au_clusters FILE OFFSET BYTES CLUSTER: BYTES of FILE from OFFSET on written with sound whose
# every CLUSTER bytes start an AU header (".snd", data at 24, 0x7FFFFFF0 bytes of 8-bit mu-law,
# 8000 Hz, one channel): a length no volume here holds, so only what follows tells its end.
au_clusters() {
  python3 - "$@" <<'PY'
import struct, sys
path, offset, size, cluster = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
header = b".snd" + struct.pack(">IIIII", 24, 0x7FFFFFF0, 1, 8000, 1)
piece = header + bytes((i * 37) & 0xFF for i in range(cluster - len(header)))
with open(path, "r+b" if offset else "wb") as f:
    f.seek(offset)
    f.write((piece * (size // cluster + 1))[:size])
PY
}

# png FILE SEED WIDTH: a true-colour picture of WIDTH x 40, its pixels from SEED.
png() {
  python3 - "$@" <<'PY'
import random, struct, sys, zlib
path, seed, width = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
rows = b"".join(b"\0" + bytes(rng.randrange(256) for _ in range(width * 3)) for _ in range(40))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
open(path, "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, 40, 8, 2, 0, 0, 0))
                       + chunk(b"IDAT", zlib.compress(rows, 0)) + chunk(b"IEND", b""))
PY
}

# write_disk NAME TYPE: NAME.img behind an MBR of 2048 sectors, described by NAME.vmdk.
write_disk() {
  local name=$1 sectors
  sectors=$(($(stat -c %s "$WORK/$name.img") / 512))
  python3 - "$OUT/$name-mbr.bin" "$2" "$sectors" <<'PY'
import struct, sys
mbr = bytearray(2048 * 512)
mbr[0x1BE + 4] = int(sys.argv[2], 0)
struct.pack_into("<II", mbr, 0x1BE + 8, 2048, int(sys.argv[3]))
mbr[510:512] = b"\x55\xaa"
open(sys.argv[1], "wb").write(mbr)
PY
  mv "$WORK/$name.img" "$OUT/$name.img"
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW 2048 FLAT "%s-mbr.bin" 0\nRW %d FLAT "%s.img" 0\n' \
    "$name" "$sectors" "$name" >"$OUT/$name.vmdk"
}

# ---------------------------------------------------------------- FAT12, an AU header a cluster
# Written over the whole data area behind the file system's back: every cluster is free.
for mb in 1 4; do
  img=$WORK/fat${mb}m.img
  log "making $img"
  mkfs.fat -F 12 -s 4 -n AUFAT -C "$img" $((mb * 1024)) >>"$WORK/tools.log" 2>&1 || die "mkfs.fat failed"
  data=$(python3 - "$img" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read(512)
reserved, fats, roots, per_fat = struct.unpack_from("<H", b, 14)[0], b[16], struct.unpack_from("<H", b, 17)[0], struct.unpack_from("<H", b, 22)[0]
print((reserved + fats * per_fat + roots * 32 // 512) * 512)
PY
)
  au_clusters "$img" "$data" $((mb * 1024 * 1024 - data)) 2048
  write_disk "fat${mb}m" 0x01
done

# ---------------------------------------------------------------- NTFS, an AU header a cluster
img=$WORK/ntfsau.img
log "making $img"
truncate -s $((8 * 1024 * 1024)) "$img"
mkntfs -F -Q -q -c 4096 -L sigau "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"
au_clusters "$WORK/fill.au" 0 $((5 * 1024 * 1024)) 4096
mount_ntfs "$img"
cp "$WORK/fill.au" "$MNT/fill.au"
release_volume
mount_ntfs "$img"
rm "$MNT/fill.au"
release_volume
write_disk ntfsau 0x07

# ---------------------------------------------------------------- NTFS without its first records
img=$WORK/ntfslost.img
log "making $img"
truncate -s $((8 * 1024 * 1024)) "$img"
mkntfs -F -Q -q -c 4096 -L siglost "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"
png "$OUT/lost.png" 1 300
png "$OUT/live.png" 2 200
mount_ntfs "$img"
cp "$OUT/lost.png" "$MNT/lost.png"
cp "$OUT/live.png" "$MNT/live.png"
for i in 1 2 3; do head -c $((i * 5000)) /dev/urandom >"$MNT/k$i.bin"; done
release_volume
# $MFT's first cluster from the boot sector; lost.png's record by its name; every record from
# 0 to it zeroed.
python3 - "$img" <<'PY' || die "could not zero the first records"
import struct, sys
path = sys.argv[1]
with open(path, "r+b") as f:
    boot = f.read(512)
    cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
    mft = struct.unpack_from("<Q", boot, 0x30)[0] * cluster
    f.seek(mft)
    records = f.read(256 * 1024)
    name = "lost.png".encode("utf-16-le")
    found = [n for n in range(len(records) // 1024) if records[n * 1024:n * 1024 + 4] == b"FILE" and name in records[n * 1024:(n + 1) * 1024]]
    if not found:
        sys.exit("lost.png has no record")
    f.seek(mft)
    f.write(bytes((found[0] + 1) * 1024))
PY
write_disk ntfslost 0x07

image_script_done
