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
# The result is cached: nothing is made again while this script is unchanged.
set -euo pipefail

out=${1:?usage: make_fat_images.sh OUTDIR}
mkdir -p "$out"
stamp_file="$out/.fat_images_stamp"
stamp=$(sha256sum "$0" | cut -d' ' -f1)
if [[ -f "$stamp_file" && "$(cat "$stamp_file")" == "$stamp" ]]; then exit 0; fi
# Test programs and ctest may start this at the same time: one builds, the others wait and
# then find the stamp.
exec 9>"$out/.lock"
flock 9
if [[ -f "$stamp_file" && "$(cat "$stamp_file")" == "$stamp" ]]; then exit 0; fi

for tool in mkfs.fat mcopy mmd mdel mdeltree fls icat; do
  command -v "$tool" >/dev/null || { echo "make_fat_images.sh: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qelda-fatimg-XXXXXX")
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 MTOOLS_NO_VFAT=0

img=""
orig_no=0
expect=""

put() {  # put SIZE DEST-PATH: a file of random bytes copied to the volume
  local size=$1 dest=$2 src="$work/src"
  head -c "$size" /dev/urandom >"$src"
  mcopy -i "$img" "$src" "::/$dest"
}

put_pdf() {  # a file that begins as a PDF does
  local size=$1 dest=$2 src="$work/src"
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

answers() {  # the independent reader's view of the finished volume
  local name=$1
  fls -r -p "$img" >"$out/$name.fls"
  fls -r -d -p "$img" >"$out/$name.flsd"
  mkdir -p "$out/$name.files"
  # Live regular files: "r/r INODE:<TAB>path" (deleted ones carry a "*").
  { grep -P '^r/r \d+:\t' "$out/$name.fls" || true; } | while IFS=$'\t' read -r head _; do
    local inode=${head#r/r }
    inode=${inode%:}
    icat "$img" "$inode" >"$out/$name.files/$inode"
  done
}

make_volume() {  # make_volume NAME SIZE-KIB FILL MKFS-OPTIONS...
  local name=$1 kib=$2 fill=$3
  shift 3
  img="$work/$name.img"
  expect="$work/$name"
  orig_no=0
  rm -f "$img"
  mkfs.fat "$@" -C "$img" "$kib" >/dev/null
  "populate_$fill"
  answers "$name"
  rm -rf "$out/$name.orig" "$out/$name.expect"
  [[ -d "$expect.orig" ]] && mv "$expect.orig" "$out/$name.orig"
  [[ -f "$expect.expect" ]] && mv "$expect.expect" "$out/$name.expect"
  mv "$img" "$out/$name.img"
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

echo "$stamp" >"$stamp_file"
