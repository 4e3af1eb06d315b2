#!/usr/bin/env bash
# Makes the FAT disks of uncommon geometry, each a raw MBR disk named .vmdk (read as a flat
# VMDK without descriptor) whose one volume starts at sector 2048:
#   fat16-one   FAT16 of one FAT copy (mkfs.fat -f 1)
#   fat32-one   FAT32 of one FAT copy
#   fat16-1k    FAT16 of 1024-byte sectors (mkfs.fat -S 1024)
#   fat16-1k-few  the same with one folder: too few for the geometry to be found from
#               directory clusters alone
#   fat16-4k    FAT16 of 4096-byte sectors, one to a cluster (a disk of 200 MiB)
#   fat12-4k    FAT12 of 4096-byte sectors and 32-sector clusters (128 KiB), left empty
#   fat32-attr  FAT32 of 512-byte clusters whose files lack the archive bit: the root's first
#               cluster holds only files of attribute 0x07 (read-only, hidden, system), a
#               folder after them files of 0x00 and 0x01; short names in lower case by their
#               case flags (no long name), one of each flag alone; a few files deleted
#   fat16-reformat  FAT16 of 8-sector clusters filled with files in nested folders, then
#               formatted again with 16-sector clusters (mkfs.fat -s 16): the old files lie
#               where the old geometry puts them. A filler file puts the first folder at the
#               one cluster that both geometries place alike. Beside it,
#               fat16-reformat.written/PATH holds every file as written (PATH in lower case).
#   fat16-reformat-new   that volume with new files written after the format: one in the
#               root, one deleted, a deleted folder holding one (whose entry an empty file
#               took), and two nested folders
#               (fewer than the old tree's five, whose geometry so has the most directory
#               clusters), each holding one
#   fat16-reformat-newer the same with seven nested new folders (more than the old tree's)
#               Beside each, NAME.written as above: the new files, and the old ones (the
#               filler the new files overwrote in part is left out: it is no file whole).
#   fat32-reformat  the same as fat16-reformat as FAT32 (a disk of 600 MiB, sparse), and
#               fat32-reformat.written
#   fat12-names, fat16-names, fat32-names  names as a deleted entry's slot reuse and other
#               systems leave them: longfilename_alpha_and_more.txt deleted and its farthest
#               long-name piece's slot taken by the short entry NEW.DAT (a deleted file in
#               another folder gave NEW.DAT its clusters, so the long-named file's are still
#               free); twenty_six_characters_.bin deleted, its name filling its last piece; in
#               the root, the 11 name bytes of real entries patched to hold blanks inside:
#               "PAD 0000 NG", "PAD 0001 NG", "COV 0000ER ", "LOW 0000TXT" (case flags of a
#               lower-case name) and, deleted, "\xE5AE 0002 NG" (fls, which drops every blank
#               of a short name, passes over such entries here). Beside each,
#               NAME.written/live/NAME and NAME.written/deleted/NAME: each of these files as
#               written, under the name it is to be shown by (the cut long name's short
#               entry's, a deleted short name's first letter X).
# The first five are filled by mtools with folders, files and long names, then some files
# and a folder tree are deleted (mdel, mdeltree). Beside each filled disk NAME:
#   NAME.fls      fls -r -p -l of the volume (live and deleted entries)
#   NAME.files/N  icat of every regular file N that fls lists, live or deleted
#
#   make_fat_geometry.sh OUTDIR
#
# Cached (tests/support/image_script.sh): made again from scratch only when this script
# changes. Needs no root.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC

need_tools "dosfstools mtools sleuthkit fdisk python3" mkfs.fat mcopy mmd mdel mdeltree mattrib sfdisk fls icat fsstat istat python3
image_script_fresh

# disk NAME MIB MKFS-OPTION...: a disk of MIB MiB, its volume formatted with the options and
# left in $WORK/NAME.vol for filling.
disk() {
  local name=$1 mib=$2; shift 2
  truncate -s "$((mib - 1))M" "$WORK/$name.vol"
  mkfs.fat "$@" "$WORK/$name.vol" >>"$WORK/tools.log" 2>&1
  truncate -s "${mib}M" "$OUT/$name.vmdk"
  printf 'label: dos\nstart=2048, type=6\n' | sfdisk -q "$OUT/$name.vmdk" >>"$WORK/tools.log" 2>&1
}

# put VOLUME SIZE PATH: a file of random bytes.
put() {
  head -c "$2" /dev/urandom >"$WORK/src"
  mcopy -i "$1" "$WORK/src" "::/$3"
}

fill() {
  local v=$1
  mmd -i "$v" ::/Docs ::/Docs/Reports ::/Docs/Reports/2021 ::/Media ::/Old ::/Old/Inner
  put "$v" 1200 readme.txt
  put "$v" 5000 "Docs/A long file name.bin"
  put "$v" 70000 Docs/Reports/report.dat
  put "$v" 300000 "Docs/Reports/2021/Year end summary.bin"
  put "$v" 9000 Media/pic.jpg
  put "$v" 40000 "Media/Holiday video.mp4"
  put "$v" 3000 Old/notes.txt
  put "$v" 66000 "Old/Inner/Deep file.bin"
  put "$v" 7000 "gone file.bin"
  put "$v" 2500 Docs/Reports/gone.txt
  mdel -i "$v" "::/gone file.bin" ::/Docs/Reports/gone.txt
  mdeltree -i "$v" ::/Old
}

# A few files in the root and in one folder.
fill_few() {
  mmd -i "$1" ::/Only
  put "$1" 4000 "root file.bin"
  put "$1" 50000 "Only/inside.dat"
  put "$1" 3000 "Only/gone.bin"
  mdel -i "$1" ::/Only/gone.bin
}

# Files without the archive bit, as a backup leaves them or as Windows writes them on a
# volume it prepares for other computers. mcopy gives an 8.3 name in lower case no long name,
# only the case flags.
fill_attributes() {
  local v=$1 i
  for i in $(seq -w 1 24); do put "$v" $((300 + 97 * 10#$i)) "file$i.txt"; done
  put "$v" 2100 NOTES.txt
  put "$v" 800 data.BIN
  mattrib -i "$v" -a +r +h +s "::/file*.txt"
  mmd -i "$v" ::/Plain
  put "$v" 1500 Plain/plain.dat
  put "$v" 4000 "Plain/Old Report.doc"
  put "$v" 900 Plain/ro.bin
  put "$v" 700 Plain/gone.dat
  mattrib -i "$v" -a ::/Plain/plain.dat "::/Plain/Old Report.doc" ::/Plain/gone.dat
  mattrib -i "$v" -a +r ::/Plain/ro.bin
  mdel -i "$v" ::/file03.txt ::/Plain/gone.dat
}

# fill_names NAME: the names volume NAME (see above), then its answers.
fill_names() {
  local name=$1 v=$WORK/$1.vol written=$OUT/$1.written
  mkdir -p "$written/live" "$written/deleted"
  # Written under the names they are to be shown by once patched or deleted.
  keep_as() {
    head -c "$1" /dev/urandom >"$written/$3"
    mcopy -i "$v" "$written/$3" "::/$2"
  }
  keep_as 1100 PAD.BIN "live/PAD 0000. NG"
  keep_as 1200 PAE.BIN "live/PAD 0001. NG"
  keep_as 1300 COV.BIN "live/COV 0000.ER"
  keep_as 1400 low.txt "live/low 0000.txt"
  keep_as 1500 PAF.BIN "deleted/XAE 0002. NG"
  mmd -i "$v" ::/Sub
  put "$v" 3000 Sub/gap.bin
  keep_as 5000 longfilename_alpha_and_more.txt "deleted/XONGFI~1.TXT"
  keep_as 4100 twenty_six_characters_.bin deleted/twenty_six_characters_.bin
  put "$v" 2000 after.bin
  mdel -i "$v" ::/Sub/gap.bin ::/longfilename_alpha_and_more.txt ::/twenty_six_characters_.bin
  put "$v" 700 NEW.DAT
  mdel -i "$v" ::/PAF.BIN
  python3 - "$v" <<'PY' || die "$name: the entries are not where they were meant to be"
import sys
v = bytearray(open(sys.argv[1], "rb").read())
def at(name11):
    found = [o for o in range(0, len(v), 32) if v[o:o + 11] == name11 and v[o + 11] != 0x0F]
    assert len(found) == 1, (name11, found)
    return found[0]
# NEW.DAT took the slot of the long name's farthest piece: the two nearer pieces and the
# deleted short entry follow it, and the piece it took is gone.
new = at(b"NEW     DAT")
assert v[new + 32] == 0xE5 and v[new + 43] == 0x0F and v[new + 64] == 0xE5 and v[new + 75] == 0x0F, "pieces"
assert v[new + 96:new + 107] == b"\xe5ONGFI~1TXT", v[new + 96:new + 107]
for old, patched in [(b"PAD     BIN", b"PAD 0000 NG"), (b"PAE     BIN", b"PAD 0001 NG"), (b"COV     BIN", b"COV 0000ER "),
                     (b"LOW     TXT", b"LOW 0000TXT"), (b"\xe5AF     BIN", b"\xe5AE 0002 NG")]:
    o = at(old)
    v[o:o + 11] = patched
open(sys.argv[1], "r+b").write(v)
PY
  answers "$name"
}

# data_start VOLUME: the sector where fsstat says its cluster area begins.
data_start() { fsstat "$1" | awk '/Cluster Area:/ { print $4; exit }'; }

# fill_and_reformat NAME BITS: the volume of 8-sector clusters, filled, then formatted again
# with 16-sector clusters as FAT of BITS.
fill_and_reformat() {
  local name=$1 bits=$2 v=$WORK/$1.vol written=$OUT/$1.written old new first taken=2
  old=$(data_start "$v")
  cp "$v" "$WORK/scratch.vol"
  mkfs.fat -F "$bits" -s 16 "$WORK/scratch.vol" >>"$WORK/tools.log" 2>&1
  new=$(data_start "$WORK/scratch.vol")
  rm -f "$WORK/scratch.vol"
  # Cluster `first` lies at the same sector under both: old + (first-2)*8 = new + (first-2)*16.
  (((old - new) % 8 == 0 && old > new)) || die "$name: data starts $old and $new leave no shared cluster"
  first=$((2 + (old - new) / 8))
  ((bits != 32)) || taken=3  # the root's cluster
  mkdir -p "$written"
  keep() {
    mkdir -p "$(dirname "$written/$2")"
    head -c "$1" /dev/urandom >"$written/$2"
    mcopy -i "$v" "$written/$2" "::/$2"
  }
  keep $(((first - taken) * 4096)) filler.bin
  mmd -i "$v" ::/a ::/a/b ::/a/b/c ::/d ::/d/e
  keep 5000 a/a1.bin
  keep 12000 "a/long name file.dat"
  keep 20000 a/b/b1.bin
  keep 30000 a/b/c/c1.bin
  keep 9000 d/d1.bin
  keep 41000 d/e/e1.bin
  # The first folder must start at the shared cluster.
  local inode
  inode=$(fls "$v" | awk -F'\t' '$2 == "a" { split($1, h, " "); sub(/:$/, "", h[2]); print h[2] }')
  [[ $(istat "$v" "$inode" | awk '/^Sectors:/ { getline; print $1 }') == $((old + (first - 2) * 8)) ]] ||
    die "$name: folder a does not start at cluster $first"
  mkfs.fat -F "$bits" -s 16 "$v" >>"$WORK/tools.log" 2>&1
  SHARED_SECTOR=$((old + (first - 2) * 8))
}

# write_after_format NAME FOLDERS: a copy of the formatted-again volume into the disk NAME,
# new files and FOLDERS new folders, nested, written to it (a file in each of the first
# two), all within the space the old filler took.
write_after_format() {
  local name=$1 folders=$2 v=$WORK/$1.vol written=$OUT/$1.written i dir=
  cp "$WORK/fat16-reformat.vol" "$v"
  cp -r "$OUT/fat16-reformat.written" "$written"
  rm "$written/filler.bin"
  add() {
    mkdir -p "$(dirname "$written/$2")"
    head -c "$1" /dev/urandom >"$written/$2"
    mcopy -i "$v" "$written/$2" "::/$2"
  }
  add 3000 "new root.bin"
  add 3000 new-gone.bin
  for i in $(seq 1 "$folders"); do
    dir=$dir/n$i
    mmd -i "$v" "::$dir"
    ((i > 2)) || add $((2000 + 1500 * i)) "${dir#/}/new$i.bin"
  done
  mmd -i "$v" ::/newdel
  add 2500 newdel/new-in-gone.bin
  local last
  last=$(fsstat "$v" | awk -F'[- ]' '/-> EOF$/ { end = $2 } END { print end }')
  ((last < SHARED_SECTOR)) || die "$name: the new files reach the old folders"
  # The deleted folder's entry is taken by an empty file: only its cluster is left of it.
  mdeltree -i "$v" ::/newdel
  add 0 "new empty.bin"
  mdel -i "$v" ::/new-gone.bin
  truncate -s 121M "$OUT/$name.vmdk"
  printf 'label: dos\nstart=2048, type=6\n' | sfdisk -q "$OUT/$name.vmdk" >>"$WORK/tools.log" 2>&1
  answers "$name"
}

# answers NAME: the volume into its disk, and what fls and icat read there.
answers() {
  local name=$1 img=$OUT/$1.vmdk
  dd if="$WORK/$name.vol" of="$img" bs=1M seek=1 conv=notrunc,sparse status=none
  rm -f "$WORK/$name.vol"
  sleuth_answers "$img" "$name" '$1 ~ /^r\/r /'
  [[ $(find "$OUT/$name.files" -type f | wc -l) -ge 3 ]] || die "$name: fls lists too few files"
}

disk fat16-one 64 -F 16 -f 1
fill "$WORK/fat16-one.vol"
answers fat16-one
disk fat32-one 64 -F 32 -f 1
fill "$WORK/fat32-one.vol"
answers fat32-one
disk fat16-1k 64 -F 16 -S 1024
fill "$WORK/fat16-1k.vol"
answers fat16-1k
disk fat16-1k-few 64 -F 16 -S 1024
fill_few "$WORK/fat16-1k-few.vol"
answers fat16-1k-few
disk fat16-4k 200 -F 16 -S 4096 -s 1
fill "$WORK/fat16-4k.vol"
answers fat16-4k
disk fat32-attr 64 -F 32 -s 1
fill_attributes "$WORK/fat32-attr.vol"
answers fat32-attr
disk fat16-reformat 121 -F 16 -s 8
fill_and_reformat fat16-reformat 16
write_after_format fat16-reformat-new 2
write_after_format fat16-reformat-newer 7
dd if="$WORK/fat16-reformat.vol" of="$OUT/fat16-reformat.vmdk" bs=1M seek=1 conv=notrunc,sparse status=none
rm -f "$WORK/fat16-reformat.vol"
disk fat32-reformat 600 -F 32 -s 8
fill_and_reformat fat32-reformat 32
dd if="$WORK/fat32-reformat.vol" of="$OUT/fat32-reformat.vmdk" bs=1M seek=1 conv=notrunc,sparse status=none
rm -f "$WORK/fat32-reformat.vol"
disk fat12-names 8 -F 12
fill_names fat12-names
disk fat16-names 24 -F 16
fill_names fat16-names
disk fat32-names 40 -F 32 -s 1
fill_names fat32-names
disk fat12-4k 100 -F 12 -S 4096 -s 32
dd if="$WORK/fat12-4k.vol" of="$OUT/fat12-4k.vmdk" bs=1M seek=1 conv=notrunc,sparse status=none
image_script_done
