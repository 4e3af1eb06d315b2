#!/usr/bin/env bash
# Raw search of an NTFS volume against PhotoRec, in the same run: how fast each reads the
# volume, and how many of the files planted in its free clusters each gives back byte for byte.
#
#   bench_raw_scan.sh BUILD_DIR [WORK_DIR]
#
# Makes once (kept in WORK_DIR, default BUILD_DIR/bench-raw) a 2 GiB volume with mkntfs
# (4096-byte clusters) and, through ntfs-3g, writes into it thousands of distinct pictures,
# archives and pages (JPEG, PNG, GIF, BMP, TIFF from Pillow; ZIP from Python's zipfile; HTML
# as text), each followed by a live file of random bytes, then deletes the planted ones: they
# lie in free clusters, the live files between them. The SHA-1 of every planted file is kept.
# The volume is described twice: bare (volume.img, for PhotoRec) and as partition 1 of a
# flat VMDK (an MBR, then the same file at sector 2048, for qelda).
# Then, with the volume in the page cache before each:
#   qelda scan disk.vmdk --kind raw --types ...           the search alone
#   qelda recover disk.vmdk --kind raw --types ... --out Q the search and the saving
#   photorec /log /d P /cmd volume.img partition_none,freespace,search
# and prints the seconds and MB/s of each (the volume's size over the time) and how many
# planted files each saved with exactly their bytes.
# Needs root and /dev/fuse for the making step, python3 with Pillow, and testdisk (photorec).
set -euo pipefail

if [[ $# -lt 1 ]]; then echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
WORK=$(readlink -m "${2:-$BUILD/bench-raw}")
QELDA=$BUILD/qelda
[[ -x $QELDA ]] || { echo "missing $QELDA (build first)" >&2; exit 1; }
for tool in mkntfs ntfs-3g fusermount photorec python3 sha1sum; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (packages: ntfs-3g fuse testdisk python3-pil)" >&2; exit 1; }
done
PYTHON=''
for p in /usr/bin/python3 python3; do
  if command -v "$p" >/dev/null && "$p" -c 'import PIL' 2>/dev/null; then PYTHON=$p; break; fi
done
[[ -n $PYTHON ]] || { echo "python3 with Pillow is needed (python3-pil)" >&2; exit 1; }
export LC_ALL=C.UTF-8 TZ=UTC
mkdir -p "$WORK"

VOL=$WORK/volume.img
VMDK=$WORK/disk.vmdk
VOL_MIB=2048
START=2048
FILES=${FILES:-4000}
TYPES=jpg,tif,bmp,gif,png,rar,zip,au,doc,xls,ppt,docx,xlsx,pptx,html,avi
LAYOUT="ntfs $VOL_MIB MiB, 4096-byte clusters; $FILES planted files (jpg png gif bmp tif zip html), each before a live file; planted ones deleted"

# ---------------------------------------------------------------- clean-up
MNT='' FUSE_PID=''
cleanup() {
  local rc=$?
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then
    fusermount -u "$MNT" 2>/dev/null || umount "$MNT" 2>/dev/null || umount -l "$MNT" || true
  fi
  if [[ -n $FUSE_PID ]]; then wait "$FUSE_PID" 2>/dev/null || true; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

now() { date +%s.%N; }
mount_volume() {
  ntfs-3g -o no_detach,big_writes "$VOL" "$MNT" >>"$WORK/tools.log" 2>&1 &
  FUSE_PID=$!
  for _ in $(seq 1 100); do mountpoint -q "$MNT" && return 0; sleep 0.1; done
  echo "ntfs-3g did not mount the volume" >&2
  exit 1
}
unmount_volume() {
  fusermount -u "$MNT"
  wait "$FUSE_PID"
  FUSE_PID=''
}

# ---------------------------------------------------------------- the volume
make_volume() {
  local t0
  t0=$(now)
  rm -rf "$WORK"/volume.img "$WORK"/disk.* "$WORK"/mbr.bin "$WORK"/planted.sha1 "$WORK/.made" "$WORK/mnt"
  MNT=$WORK/mnt
  mkdir -p "$MNT"
  truncate -s ${VOL_MIB}M "$VOL"
  mkntfs -F -Q -q -c 4096 -L qeldaraw "$VOL" >"$WORK/tools.log" 2>&1 || { cat "$WORK/tools.log" >&2; exit 1; }
  mount_volume
  "$PYTHON" - "$MNT" "$FILES" "$WORK/planted.sha1" <<'PY'
import hashlib, io, os, random, sys, zipfile
from PIL import Image
root, count, sums = sys.argv[1], int(sys.argv[2]), sys.argv[3]
random.seed(2024)
os.makedirs(f"{root}/planted")
os.makedirs(f"{root}/live")

def picture(w, h):
    # Smooth colours from a small random picture, with some noise: sizes like photographs.
    small = Image.frombytes("RGB", (max(1, w // 16), max(1, h // 16)), os.urandom(3 * max(1, w // 16) * max(1, h // 16)))
    img = small.resize((w, h), Image.BICUBIC)
    noise = Image.frombytes("L", (w, h), os.urandom(w * h)).convert("RGB")
    return Image.blend(img, noise, 0.08)

def make(kind):
    w, h = random.randint(64, 900), random.randint(48, 700)
    out = io.BytesIO()
    if kind == "jpg":
        picture(w, h).save(out, "JPEG", quality=random.choice([75, 85, 92]))
    elif kind == "png":
        picture(w, h).save(out, "PNG")
    elif kind == "gif":
        picture(w // 2 + 1, h // 2 + 1).convert("P").save(out, "GIF")
    elif kind == "bmp":
        picture(w // 2 + 1, h // 2 + 1).save(out, "BMP")
    elif kind == "tif":
        picture(w // 2 + 1, h // 2 + 1).save(out, "TIFF")
    elif kind == "zip":
        with zipfile.ZipFile(out, "w") as z:
            for m in range(random.randint(1, 4)):
                data = os.urandom(random.randint(100, 60000)) + b"text " * random.randint(0, 4000)
                z.writestr(f"member{m}.bin", data, compress_type=random.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]))
    else:
        body = "".join(f"<p>paragraph {i} {random.random()}</p>\n" for i in range(random.randint(10, 3000)))
        out.write(f"<!DOCTYPE html>\n<html><head><title>page</title></head><body>\n{body}</body>\n</html>\r\n".encode())
    return out.getvalue()

kinds = ["jpg"] * 8 + ["png"] * 4 + ["gif"] * 2 + ["bmp"] * 2 + ["tif"] * 2 + ["zip"] + ["html"]
with open(sums, "w") as s:
    for i in range(count):
        kind = random.choice(kinds)
        data = make(kind)
        with open(f"{root}/planted/p{i:05d}.{kind}", "wb") as f:
            f.write(data)
        with open(f"{root}/live/l{i:05d}.bin", "wb") as f:
            f.write(os.urandom(random.randint(1, 6) * 4096 - random.randint(0, 4000)))
        s.write(f"{hashlib.sha1(data).hexdigest()}  p{i:05d}.{kind}\n")
PY
  unmount_volume
  mount_volume
  rm -r "$MNT/planted"
  unmount_volume
  rmdir "$MNT"
  MNT=''
  # qelda reads the volume as partition 1 of a disk: an MBR, then the same file.
  python3 - "$WORK/mbr.bin" $START $((VOL_MIB * 2048)) <<'PY'
import struct, sys
mbr = bytearray(int(sys.argv[2]) * 512)
mbr[0x1BE + 4] = 0x07
struct.pack_into("<II", mbr, 0x1BE + 8, int(sys.argv[2]), int(sys.argv[3]))
mbr[510:512] = b"\x55\xaa"
open(sys.argv[1], "wb").write(mbr)
PY
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW %d FLAT "mbr.bin" 0\nRW %d FLAT "volume.img" 0\n' \
    $START $((VOL_MIB * 2048)) >"$VMDK"
  printf '%s\n' "$LAYOUT" >"$WORK/.made"
  echo "made $VOL in $(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }') s"
}

if [[ ! -f $WORK/.made || $(<"$WORK/.made") != "$LAYOUT" ]]; then make_volume; fi

# ---------------------------------------------------------------- the runs
warm() { cat "$VOL" >/dev/null; }
# Runs a command, prints its seconds.
timed() {
  local t0
  t0=$(now)
  "$@" >/dev/null 2>&1
  awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'
}
# Planted files among those under the folders, byte for byte (each planted file counted once).
exact() {
  find "$@" -type f -print0 | xargs -0 -r sha1sum | cut -d' ' -f1 | sort -u >"$WORK/found.sha1"
  cut -d' ' -f1 "$WORK/planted.sha1" | sort -u | comm -12 - "$WORK/found.sha1" | wc -l
}
mbps() { awk -v s="$1" -v m="$VOL_MIB" 'BEGIN { printf "%.0f", m * 1.048576 / s }'; }

cd "$WORK"
export XDG_CONFIG_HOME=$WORK/config
rm -rf "$WORK/qelda-out" "$WORK/photorec-out" "$WORK"/photorec-out.*
warm
scan_s=$(timed "$QELDA" scan "$VMDK" --kind raw --types "$TYPES")
warm
recover_s=$(timed "$QELDA" recover "$VMDK" --kind raw --types "$TYPES" --out "$WORK/qelda-out")
warm
photorec_s=$(timed photorec /log /d "$WORK/photorec-out" /cmd "$VOL" partition_none,freespace,search)

planted=$(wc -l <"$WORK/planted.sha1")
qelda_files=$(find "$WORK/qelda-out" -type f | wc -l)
photorec_files=$(find "$WORK"/photorec-out.* -type f ! -name report.xml 2>/dev/null | wc -l)
qelda_exact=$(exact "$WORK/qelda-out")
photorec_exact=$(exact "$WORK"/photorec-out.*)
echo "volume: $LAYOUT"
printf '%-34s %8s %7s %7s %14s\n' "" seconds MB/s files "exact planted"
printf '%-34s %8s %7s %7s %14s\n' "qelda scan --kind raw" "$scan_s" "$(mbps "$scan_s")" - -
printf '%-34s %8s %7s %7s %14s\n' "qelda recover --kind raw" "$recover_s" "$(mbps "$recover_s")" "$qelda_files" "$qelda_exact/$planted"
printf '%-34s %8s %7s %7s %14s\n' "photorec partition_none,freespace" "$photorec_s" "$(mbps "$photorec_s")" "$photorec_files" "$photorec_exact/$planted"
