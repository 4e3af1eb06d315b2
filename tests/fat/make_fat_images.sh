#!/bin/bash
# Makes the FAT volumes the FAT engine tests run on, with the answers of an independent
# reader beside each one. Usage: make_fat_images.sh OUTDIR
#
# For each volume NAME:
#   NAME.img           the volume (mkfs.fat, filled with mtools)
#   NAME.fls           fls -r -p (every entry, live and deleted)
#   NAME.flsd          fls -r -d -p (deleted entries only)
#   NAME.files/INODE   the content of every live regular file (icat)
#   NAME.orig/N        originals of deleted files whose clusters stay untouched, and
#   NAME.expect        "N<TAB>path" for each of them
# Damaged volumes keep the answers of the volume before the damage, and also
#   NAME.chains        "RUNS<TAB>FIRST<TAB>path" for every live file and folder: how many runs
#                      of consecutive clusters its chain had, and its first cluster (mshowfat)
# Cached (tests/support/image_script.sh): nothing is made again while this script is unchanged.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

need_tools "dosfstools mtools sleuthkit python3" mkfs.fat mcopy mmd mdel mdeltree mshowfat fls icat python3
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 MTOOLS_NO_VFAT=0
image_script_fresh

img=""
orig_no=0
expect=""

put() {  # put SIZE DEST-PATH: a file of random bytes copied to the volume
  local size=$1 dest=$2 src="$WORK/src"
  head -c "$size" /dev/urandom >"$src"
  mcopy -i "$img" "$src" "::/$dest"
}

put_pdf() {  # a file that begins as a PDF does
  local size=$1 dest=$2 src="$WORK/src"
  { printf '%%PDF-1.4\n'; head -c "$((size - 9))" /dev/urandom; } >"$src"
  mcopy -i "$img" "$src" "::/$dest"
}

keep_original() {  # keep_original PATH: remember the content before it is deleted
  local path=$1
  orig_no=$((orig_no + 1))
  mkdir -p "$expect.orig"
  mcopy -i "$img" "::/$path" "$expect.orig/$orig_no"
  printf '%s\t%s\n' "$orig_no" "$path" >>"$expect.expect"
}

populate_full() {
  mmd -i "$img" ::/docs ::/docs/a ::/docs/a/b ::/docs/a/b/c ::/docs/a/b/c/d ::/docs/a/b/c/d/e
  local level=docs n=0
  for sub in "" /a /b /c /d /e; do
    level="$level$sub"
    n=$((n + 1))
    put $((2000 + n * 517)) "$level/File at level $n.bin"
  done
  # Names of exactly 8.3 in lower case are stored as short names only.
  put 1200 readme.txt
  put 900 abcdefgh.txt
  put 700 docs/notes.txt
  put 4100 "Long File Name Example.txt"
  put 1500 "docs/a/Grüße café.txt"
  put 1300 "docs/a/日本語のファイル.txt"
  put 2500 "docs/A name that is rather long, one hundred and twenty characters or so, to need quite a few long-name entries.dat"
  # A folder of many entries spans several clusters.
  mmd -i "$img" ::/many
  for i in $(seq -w 1 40); do put 600 "many/Entry number $i.dat"; done
  # A fragmented file: its first run fills the hole a deleted file left.
  mmd -i "$img" ::/frag
  put 30000 "frag/fragA.bin"
  put 10000 "frag/fragB.bin"
  mdel -i "$img" ::/frag/fragA.bin
  put 60000 "frag/Fragmented Big File.bin"
  # Files and a folder deleted last, so that nothing overwrites their clusters.
  put 7000 "docs/a/b/c/Deleted Report Alpha.bin"
  put 5000 "docs/a/b/c/d/e/Deep Deleted Thing.bin"
  put_pdf 6000 "docs/Deleted Paper.pdf"
  put 3000 gone.txt
  mmd -i "$img" "::/Trash Folder" "::/Trash Folder/Inner Folder"
  put 2200 "Trash Folder/Trash Note One.txt"
  put 4400 "Trash Folder/Inner Folder/Inner Deleted Data.bin"
  for f in "docs/a/b/c/Deleted Report Alpha.bin" "docs/a/b/c/d/e/Deep Deleted Thing.bin" "docs/Deleted Paper.pdf" \
           "Trash Folder/Trash Note One.txt" "Trash Folder/Inner Folder/Inner Deleted Data.bin"; do
    keep_original "$f"
  done
  mdel -i "$img" "::/docs/a/b/c/Deleted Report Alpha.bin" "::/docs/a/b/c/d/e/Deep Deleted Thing.bin" \
       "::/docs/Deleted Paper.pdf" ::/gone.txt
  mdeltree -i "$img" "::/Trash Folder"
}

populate_small() {
  mmd -i "$img" ::/sub ::/sub/deeper
  put 3000 "sub/Small volume file.bin"
  put 9000 "sub/deeper/Spans clusters.bin"
  put 1000 tiny.txt
  put 2500 "sub/Removed Later.bin"
  keep_original "sub/Removed Later.bin"
  mdel -i "$img" "::/sub/Removed Later.bin"
}

populate_deep() {  # a tree 200 folders deep
  local path="" p150=""
  for i in $(seq 1 200); do
    path="$path/d$i"
    mmd -i "$img" "::$path"
    if [[ $i == 150 ]]; then
      p150=${path#/}
      put 1500 "$p150/Deleted At 150.bin"
    fi
  done
  put 800 "${path#/}/Bottom File.bin"
  keep_original "$p150/Deleted At 150.bin"
  mdel -i "$img" "::/$p150/Deleted At 150.bin"
}

populate_victim() {  # the full tree, and last in the root a folder whose entry is wiped later
  populate_full
  mmd -i "$img" ::/Victim ::/Victim/Inner
  put 3300 "Victim/Victim file one.bin"
  put 6600 "Victim/Inner/Victim inner two.bin"
}

populate_reformat() {  # folders of a few dozen entries each (one cluster), few files in the root
  put 900 "Root note.txt"
  local d f
  for d in $(seq 1 12); do
    mmd -i "$img" "::/Folder number $d"
    for f in $(seq 1 8); do put $((1000 + d * 731 + f * 977)) "Folder number $d/Document $d-$f.dat"; done
    if ((d % 3 == 0)); then
      mmd -i "$img" "::/Folder number $d/Nested"
      for f in $(seq 1 4); do put $((1500 + d * 313 + f * 1201)) "Folder number $d/Nested/Nested $d-$f.bin"; done
    fi
  done
}

boot_field() {  # boot_field OFFSET BYTES: a little-endian field of the volume's boot sector
  od -An -tu"$2" -j"$1" -N"$2" "$img" | tr -d ' '
}

zero_sectors() {  # zero_sectors FIRST COUNT
  dd if=/dev/zero of="$img" bs=512 seek="$1" count="$2" conv=notrunc status=none
}

damage_boot() {  # the boot sector, and FAT32's backup at sector 6
  local fat16=$(boot_field 22 2)
  zero_sectors 0 1
  if ((fat16 == 0)); then zero_sectors 6 1; fi
}

damage_fats() {  # both FAT copies
  local reserved=$(boot_field 14 2) fat=$(boot_field 22 2)
  if ((fat == 0)); then fat=$(boot_field 36 4); fi
  zero_sectors "$reserved" $((2 * fat))
}

damage_victim() {  # the root entry of "Victim" (and its long-name parts): its chain stays in use
  python3 - "$img" <<'PY'
import struct, sys
f = open(sys.argv[1], "r+b")
boot = f.read(512)
spc, reserved, entries, fat16 = boot[13], *struct.unpack_from("<HxH", boot, 14), struct.unpack_from("<H", boot, 22)[0]
fat = fat16 or struct.unpack_from("<I", boot, 36)[0]
if fat16:  # the fixed root directory
    start, length = (reserved + 2 * fat) * 512, entries * 32
else:      # the root's first cluster (cluster 2, where the formatter puts it)
    start, length = (reserved + 2 * fat) * 512, spc * 512
f.seek(start)
root = bytearray(f.read(length))
for o in range(0, length, 32):
    if root[o:o + 11] == b"VICTIM     ":
        k = o
        while k >= 32 and root[k - 32 + 11] == 0x0F:
            k -= 32
        root[k:o + 32] = bytes(o + 32 - k)
        break
else:
    sys.exit("no Victim entry")
f.seek(start)
f.write(root)
PY
}

damage_reformat() {  # formatted again over the filled volume, with the same options
  mkfs.fat "${mkfs_options[@]}" "$img" >/dev/null
}

chains() {  # mshowfat of every live file and folder, before the damage
  local name=$1 path
  : >"$OUT/$name.chains"
  { grep -P '^[rd]/[rd] \d+:\t' "$OUT/$name.fls" || true; } | cut -f2- | while IFS= read -r path; do
    local chain
    chain=$(mshowfat -i "$img" "::/$path")
    printf '%s\t%s\t%s\n' "$(grep -o '<' <<<"$chain" | wc -l)" "$(grep -o '<[0-9]*' <<<"$chain" | head -1 | tr -d '<')" \
      "$path" >>"$OUT/$name.chains"
  done
}

answers() {  # the independent reader's view of the finished volume
  local name=$1
  fls -r -p "$img" >"$OUT/$name.fls"
  fls -r -d -p "$img" >"$OUT/$name.flsd"
  mkdir -p "$OUT/$name.files"
  # Live regular files: "r/r INODE:<TAB>path" (deleted ones carry a "*").
  { grep -P '^r/r \d+:\t' "$OUT/$name.fls" || true; } | while IFS=$'\t' read -r head _; do
    local inode=${head#r/r }
    inode=${inode%:}
    icat "$img" "$inode" >"$OUT/$name.files/$inode"
  done
}

make_volume() {  # make_volume NAME SIZE-KIB FILL MKFS-OPTIONS...; $damage names a damage done after the answers
  local name=$1 kib=$2 fill=$3
  shift 3
  img="$WORK/$name.img"
  expect="$WORK/$name"
  orig_no=0
  mkfs_options=("$@")
  rm -f "$img"
  mkfs.fat "$@" -C "$img" "$kib" >/dev/null
  "populate_$fill"
  answers "$name"
  if [[ -n ${damage:-} ]]; then
    chains "$name"
    "damage_$damage"
  fi
  rm -rf "$OUT/$name.orig" "$OUT/$name.expect"
  [[ -d "$expect.orig" ]] && mv "$expect.orig" "$OUT/$name.orig"
  [[ -f "$expect.expect" ]] && mv "$expect.expect" "$OUT/$name.expect"
  mv "$img" "$OUT/$name.img"
}

make_volume fat12_floppy 1440 full
make_volume fat12_16m 16384 full -F 12
make_volume fat16_s1 32768 full -F 16 -s 1
make_volume fat16_s64 163840 full -F 16 -s 64
make_volume fat16_r64 32768 full -F 16 -R 64
make_volume fat32_s1 81920 full -F 32 -s 1
make_volume fat32_s8 307200 full -F 32 -s 8
make_volume tiny_1m 1024 small
make_volume deep200 16384 deep -F 16 -s 1
# Damaged volumes. The parameter rebuild needs a FAT32 of 8 sectors per cluster or more and
# 1024 FAT sectors or more, and a FAT12 of one reserved sector and a 512-entry root.
damage=boot make_volume fat12_bootzero 4096 full -F 12 -s 2 -R 1 -r 512
damage=boot make_volume fat16_bootzero 65536 full -F 16
damage=boot make_volume fat32_bootzero 614400 full -F 32 -s 8
damage=fats make_volume fat32_fatzero 614400 full -F 32 -s 8
damage=victim make_volume fat16_victim 65536 victim -F 16
damage=victim make_volume fat32_victim 307200 victim -F 32 -s 8
damage=reformat make_volume fat16_reformat 65536 reformat -F 16
damage=reformat make_volume fat32_reformat 307200 reformat -F 32 -s 8

image_script_done
