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

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
bench_start bench-raw "$@"
need_build qelda
need_tools "ntfs-3g fuse testdisk python3-pil" mkntfs ntfs-3g fusermount photorec python3 sha1sum
PYTHON=''
for p in /usr/bin/python3 python3; do
  if command -v "$p" >/dev/null && "$p" -c 'import PIL' 2>/dev/null; then PYTHON=$p; break; fi
done
[[ -n $PYTHON ]] || { echo "python3 with Pillow is needed (python3-pil)" >&2; exit 1; }
mkdir -p "$WORK"

VOL=$WORK/volume.img
VMDK=$WORK/disk.vmdk
VOL_MIB=2048
FILES=${FILES:-4000}
TYPES=jpg,tif,bmp,gif,png,rar,zip,au,doc,xls,ppt,docx,xlsx,pptx,html,avi
LAYOUT="ntfs $VOL_MIB MiB, 4096-byte clusters; $FILES planted files (jpg png gif bmp tif zip html), each before a live file; planted ones deleted"

# ---------------------------------------------------------------- the volume
make_volume() {
  local t0
  t0=$(now)
  rm -rf "$WORK"/volume.img "$WORK"/disk.* "$WORK"/mbr.bin "$WORK"/planted.sha1 "$WORK/.made" "${WORK:?}/mnt" "$WORK/tools.log"
  MNT=$WORK/mnt
  mkdir -p "$MNT"
  truncate -s ${VOL_MIB}M "$VOL"
  logged "$WORK/tools.log" mkntfs -F -Q -q -c 4096 -L qeldaraw "$VOL"
  mount_ntfs "$VOL" "$WORK/tools.log"
  in_group "$PYTHON" - "$MNT" "$FILES" "$WORK/planted.sha1" <<'PY'
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
  unmount_ntfs
  mount_ntfs "$VOL" "$WORK/tools.log"
  rm -r "$MNT/planted"
  unmount_ntfs
  rmdir "$MNT"
  MNT=''
  # qelda reads the volume as partition 1 of a disk: an MBR, then the same file.
  mbr_head "$WORK/mbr.bin" 7 $((VOL_MIB * 2048))
  flat_vmdk "$VMDK" "$WORK/mbr.bin" "$VOL"
  mark_made
  echo "made $VOL in $(elapsed "$t0" %.0f) s"
}

disk_made || make_volume

# ---------------------------------------------------------------- the runs
warm() { cat "$VOL" >/dev/null; }
# Runs a command, prints its seconds.
timed() {
  local t0
  t0=$(now)
  "$@" >/dev/null 2>&1
  elapsed "$t0" %.2f
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
