#!/usr/bin/env bash
# Makes every disk image the tests read, with the real tools (sfdisk, sgdisk,
# mkfs.fat + mtools, mkntfs + ntfs-3g, mkfs.exfat + exfat-fuse, qemu-img), and
# the oracles the tests hold our results against (mmls, fsstat, fls, dump.exfat,
# qemu-img info).
#
#   make_images.sh OUTDIR            everything; CTest runs this once as the
#                                    FIXTURES_SETUP test that the image tests require
#   make_images.sh --sample OUTDIR   only sample.vmdk, for the README's first command
#
# Needs root: NTFS and exFAT volumes are filled through FUSE on loop devices.
# Cached (tests/support/image_script.sh): made again from scratch only when this script
# changes; --sample keeps its own stamp, OUTDIR/.stamp-sample.
# OUTDIR/MANIFEST describes every file made.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
SAMPLE_ONLY=0
if [[ ${1:-} == --sample ]]; then SAMPLE_ONLY=1; shift; fi
IMAGE_USAGE='[--sample] OUTDIR'
image_cached() { stamp_ok "$OUT/.stamp" || { ((SAMPLE_ONLY)) && stamp_ok "$OUT/.stamp-sample"; }; }
image_script_start "$@"

# Non-ASCII names must reach mtools, ntfs-3g and exfat-fuse as UTF-8; fixed
# file times keep the directory entries the same from run to run.
export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1
FILE_TIME='2021-06-15 12:00:00'

manifest() { printf '%-34s %s\n' "$1" "$2" >>"$OUT/MANIFEST"; }

# ---------------------------------------------------------------- content
# Text whose every line is distinct, so a cluster read from the wrong place or
# in the wrong order shows up in a comparison.
text_file() { seq -f "$2 line %06g of qelda test data" 1 "$3" >"$1"; }
# Binary bytes (deflate output of a counter): SIZE bytes, fixed for a given gzip.
binary_file() { seq -f "$2 %09g" 1 $(($3 / 3 + 1000)) | gzip -n -1 >"$1"; truncate -s "$3" "$1"; }
# Each 512-byte sector names its own number: a read from the wrong offset is obvious.
sector_pattern() {
  awk -v a="$1" -v n="$2" 'BEGIN { for (s = a; s < a + n; s++) {
    l = sprintf("qelda sector %012d\n", s); t = l; while (length(t) < 512) t = t l
    printf "%s\n", substr(t, 1, 511) } }'
}

# The tree every test volume gets: nested folders, a long name, a non-ASCII
# name, an empty file, files of one sector and of many clusters.
make_test_tree() {
  local d=$1 tag=$2
  mkdir -p "$d/Docs/Reports/2021" "$d/Docs/Empty folder" "$d/Data"
  printf 'qelda test volume %s\n' "$tag" >"$d/readme.txt"
  : >"$d/empty.txt"
  text_file "$d/A long file name that goes well past eight dot three.txt" "$tag long" 600
  printf 'non-ASCII name on %s\n' "$tag" >"$d/Ünïcödé ñame 日本語.txt"
  printf 'summary of %s\n' "$tag" >"$d/Docs/Reports/2021/summary.txt"
  text_file "$d/Docs/Reports/notes.txt" "$tag notes" 1500
  binary_file "$d/Data/blob.bin" "$tag blob" 70000
}

# A 32x32 24-bit BMP (3126 bytes): a picture that spans several sectors.
gradient_bmp() {
  local px='' h x y
  for ((y = 0; y < 32; y++)); do for ((x = 0; x < 32; x++)); do
    printf -v h '\\x%02x\\x%02x\\x%02x' $((255 - y * 8)) $((x * 8)) $((y * 4 + x * 4)); px+=$h
  done; done
  printf 'BM\x36\x0c\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x20\x00\x00\x00\x20\x00\x00\x00\x01\x00\x18\x00\x00\x00\x00\x00\x00\x0c\x00\x00\x13\x0b\x00\x00\x13\x0b\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '%b' "$px"
}

# The sample VM's files: what a user would expect to get back in the demo.
make_sample_tree() {
  local d=$1
  mkdir -p "$d/Documents" "$d/Photos"
  printf 'Dear Sam,\n\nthe quarterly figures are attached.\n\nKind regards,\nAlex\n' >"$d/Documents/letter.txt"
  { echo 'month,income,expenses'; for m in Jan Feb Mar Apr May Jun; do echo "$m,$((${#m} * 1000 + 250)),$((${#m} * 700))"; done; } >"$d/Documents/budget.csv"
  binary_file "$d/Documents/archive.bin" sample 6000
  # A 16x16 checkerboard PNG and a 1x1 GIF, byte for byte.
  printf '\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR\x00\x00\x00\x10\x00\x00\x00\x10\x08\x02\x00\x00\x00\x90\x91\x68\x36\x00\x00\x00\x1dIDAT\x78\xda\x63\x60\x40\x02\xff\x91\x00\x31\xe2\x83\x45\xc3\x50\x75\x37\x2e\x30\x1a\x0f\x03\xa6\x01\x00\xd9\x57\x7e\x90\x5b\xf6\xd6\x45\x00\x00\x00\x00IEND\xae\x42\x60\x82' >"$d/Photos/checkers.png"
  printf 'GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;' >"$d/Photos/pixel.gif"
}

# ---------------------------------------------------------------- volumes
# A volume is open between open_volume and close_volume. FAT is written in place
# with mtools (VOL_IMG = image@@offset); NTFS and exFAT through their FUSE
# driver on a loop device (VOL_DIR). The vol_* verbs hide the difference, so
# every file system gets the same files in the same order.
VOL_IMG='' VOL_DIR='' CUR_DISK='' CUR_NAME='' CUR_N='' CUR_FS='' CUR_START=''
vol_mkdir() { if [[ -n $VOL_IMG ]]; then run mmd -i "$VOL_IMG" "::/$1"; else mkdir "$VOL_DIR/$1"; fi; }
vol_put() { if [[ -n $VOL_IMG ]]; then run mcopy -m -i "$VOL_IMG" "$1" "::/$2"; else cp --preserve=timestamps "$1" "$VOL_DIR/$2"; fi; }
vol_rm() { if [[ -n $VOL_IMG ]]; then run mdel -i "$VOL_IMG" "::/$1"; else rm "$VOL_DIR/$1"; fi; }

# part_geom DISK N: "start count" of partition N, as the partition table says.
part_geom() {
  sfdisk -d "$1" | sed -n "s|^$1$2 : start= *\([0-9]*\), size= *\([0-9]*\),.*|\1 \2|p"
}

# open_volume NAME N FS LABEL [mkfs options]: FS is fat12|fat16|fat32|ntfs|exfat.
open_volume() {
  CUR_NAME=$1 CUR_N=$2 CUR_FS=$3 CUR_DISK=$OUT/$1.raw
  local label=$4 geom count; shift 4
  geom=$(part_geom "$CUR_DISK" "$CUR_N"); [[ -n $geom ]] || die "$CUR_NAME has no partition $CUR_N"
  read -r CUR_START count <<<"$geom"
  printf '%s\t%s\t%s\t%s\n' "$CUR_N" "$CUR_START" "$count" "$CUR_FS" >>"$OUT/oracle/$CUR_NAME.parts"
  VOL_IMG='' VOL_DIR=''
  case $CUR_FS in
    fat*)
      # Hidden sectors = the partition start, as Windows writes it. mkfs.fat cuts
      # the volume to whole tracks (to 81900 of 81920 sectors with its 255/63
      # guess for 40 MiB); 32 sectors a track keeps it the partition's size.
      run mkfs.fat -F "${CUR_FS#fat}" --invariant -i "$(printf '%08x' "$CUR_START")" -h "$CUR_START" -g 64/32 \
        -n "$label" --offset="$CUR_START" "$@" "$CUR_DISK" $((count / 2))
      VOL_IMG="$CUR_DISK@@$((CUR_START * 512))" ;;
    ntfs|exfat)
      attach_loop -o $((CUR_START * 512)) --sizelimit $((count * 512)) "$CUR_DISK"
      if [[ $CUR_FS == ntfs ]]; then
        run mkntfs -F -Q -p "$CUR_START" -H 255 -S 63 -L "$label" "$@" "$LOOP"
      else
        run mkfs.exfat -L "$label" "$@" "$LOOP"
      fi
      VOL_DIR=$MNT
      if [[ $CUR_FS == ntfs ]]; then mount_fuse ntfs-3g "$LOOP"; else mount_fuse mount.exfat-fuse "$LOOP"; fi ;;
    *) die "unknown file system $CUR_FS" ;;
  esac
}

close_volume() {
  local base=$OUT/oracle/$CUR_NAME-p$CUR_N tsk=${CUR_FS%%[0-9]*}
  if [[ -n $VOL_DIR ]]; then
    umount "$MNT"   # fuseblk: returns once the driver has written everything
    if [[ $CUR_FS == exfat ]]; then dump.exfat "$LOOP" >"$base.dump.exfat"; fi
    losetup -d "$LOOP"; LOOP=''
  fi
  # fsstat loops forever on exFAT volumes made by mkfs.exfat (TSK 4.11), so only fls there.
  if [[ $tsk != exfat ]]; then timeout 120 fsstat -f "$tsk" -o "$CUR_START" "$CUR_DISK" >"$base.fsstat"; fi
  timeout 120 fls -f "$tsk" -r -p -o "$CUR_START" "$CUR_DISK" >"$base.fls"
  VOL_IMG='' VOL_DIR=''
}

# copy_tree SRC: folders first, then files, all in byte order of their paths.
copy_tree() {
  local src=$1 p
  find "$src" -mindepth 1 -exec touch -h -d "$FILE_TIME" {} +
  while IFS= read -r p; do vol_mkdir "$p"; done < <(cd "$src" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort)
  while IFS= read -r p; do vol_put "$src/$p" "$p"; done < <(cd "$src" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
}

# fill_test_volume: the test tree, then a fragmented file and a deleted one.
# hole.bin is freed and overwritten so that fragmented.bin fills its clusters
# and continues after fence.txt; "Deleted report.txt" is written last, so its
# clusters (and, on FAT, its long-name entries) still hold it after deletion.
# content/NAME-pN/ holds what the volume shows, content/NAME-pN.deleted/ the
# deleted file's original.
fill_test_volume() {
  local tag=$CUR_NAME-p$CUR_N c=$OUT/content/$CUR_NAME-p$CUR_N x=$WORK/extra
  make_test_tree "$c" "$tag"
  copy_tree "$c"
  rm -rf "$x"; mkdir -p "$x" "$c.deleted"
  binary_file "$x/hole.bin" "$tag hole" 12000
  text_file "$x/fence.txt" "$tag fence" 100
  binary_file "$x/fragmented.bin" "$tag frag" 40000
  text_file "$x/Deleted report.txt" "$tag deleted" 400
  touch -d "$FILE_TIME" "$x"/*
  vol_put "$x/hole.bin" hole.bin
  vol_put "$x/fence.txt" fence.txt
  vol_rm hole.bin
  if [[ $CUR_FS == fat32 ]]; then
    # mtools takes FAT32 clusters from FSInfo's next-free hint, which points past
    # the hole; "unknown" (all ones) makes it search from the start.
    printf '\xff\xff\xff\xff' | dd of="$CUR_DISK" bs=1 seek=$(((CUR_START + 1) * 512 + 0x1EC)) conv=notrunc status=none
  fi
  vol_put "$x/fragmented.bin" fragmented.bin
  vol_put "$x/Deleted report.txt" "Deleted report.txt"
  vol_rm "Deleted report.txt"
  cp -p "$x/fence.txt" "$x/fragmented.bin" "$c/"
  cp -p "$x/Deleted report.txt" "$c.deleted/"
}

# test_volume NAME N FS LABEL [mkfs options]
test_volume() { open_volume "$@"; fill_test_volume; close_volume; }

# ---------------------------------------------------------------- disks
new_disk() { rm -f "$OUT/$1.raw"; truncate -s "$2" "$OUT/$1.raw"; : >"$OUT/oracle/$1.parts"; }
disk_oracles() { timeout 120 mmls "$OUT/$1.raw" >"$OUT/oracle/$1.mmls"; }

build_mbr() {
  new_disk mbr 96M
  # p1-p3 primary (p3 extended), p4 a Linux primary after the extended one,
  # p5-p7 logical. sfdisk aligns every start, EBRs included, to 1 MiB.
  run sfdisk -q "$OUT/mbr.raw" <<'EOF'
label: dos
label-id: 0x51e1da01
size=32768, type=6
size=40960, type=7
size=104448, type=5
size=8192, type=83
size=8192, type=1
size=73728, type=c
size=16384, type=7
EOF
  disk_oracles mbr
  test_volume mbr 1 fat16 MBR_FAT16
  test_volume mbr 2 ntfs "MBR NTFS"
  test_volume mbr 5 fat12 MBR_FAT12
  test_volume mbr 6 fat32 MBR_FAT32 -s 1
  test_volume mbr 7 exfat MBR_EXFAT
  # A FAT volume under type 0x83: the walk must skip it by its type alone.
  test_volume mbr 4 fat12 LINUXTYPE
  manifest mbr.raw "96 MiB MBR: p1 FAT16 (06), p2 NTFS (07), p3 extended (05) with p5 FAT12 (01), p6 FAT32 (0c, 512-byte clusters), p7 exFAT (07); p4 type 83 holding a FAT12 that must be ignored"
}

build_gpt() {
  new_disk gpt 64M
  run sgdisk -o -U 5E1DA000-0000-4000-8000-000000000000 \
    -n 1:2048:+16M -t 1:0700 -c 1:"Basic data partition" -u 1:5E1DA000-0000-4000-8000-000000000001 \
    -n 2:0:+20M -t 2:0700 -u 2:5E1DA000-0000-4000-8000-000000000002 \
    -n 3:0:+8M -t 3:0700 -u 3:5E1DA000-0000-4000-8000-000000000003 \
    -n 4:0:+8M -t 4:8300 -u 4:5E1DA000-0000-4000-8000-000000000004 "$OUT/gpt.raw"
  disk_oracles gpt
  test_volume gpt 1 fat16 GPT_FAT16
  test_volume gpt 2 ntfs "GPT NTFS"
  test_volume gpt 3 exfat GPT_EXFAT
  test_volume gpt 4 fat12 LINUXTYPE
  manifest gpt.raw "64 MiB GPT: p1 basic data named 'Basic data partition' FAT16; p2 basic data, no name, NTFS; p3 basic data, no name, exFAT; p4 Linux (8300), no name, holding a FAT12 that must be ignored"
}

build_4prim() {
  new_disk mbr-4prim 32M
  run sfdisk -q "$OUT/mbr-4prim.raw" <<'EOF'
label: dos
label-id: 0x51e1da04
size=8192, type=1
size=24576, type=6
size=16384, type=7
type=7
EOF
  disk_oracles mbr-4prim
  test_volume mbr-4prim 1 fat12 PRIM_FAT12
  # 64 reserved sectors: a FAT16 that a "reserved >= 32 means FAT32" rule mistypes.
  test_volume mbr-4prim 2 fat16 PRIM_FAT16 -R 64
  test_volume mbr-4prim 3 exfat PRIM_EXFAT
  test_volume mbr-4prim 4 ntfs "PRIM NTFS" -c 1024
  manifest mbr-4prim.raw "32 MiB MBR, four primaries: p1 FAT12 (01), p2 FAT16 with 64 reserved sectors (06), p3 8 MiB exFAT (07), p4 NTFS with 1 KiB clusters (07)"
}

# Sector-numbered chunks across qemu's 2 GiB extent boundaries (4194304 sectors)
# and near the end, so reads in every extent of a split image are checked.
BIG_CHUNKS='4194240 128
8388544 128
9433088 2048'
build_big() {
  new_disk big 4608M
  run sfdisk -q "$OUT/big.raw" <<'EOF'
label: dos
label-id: 0x51e1da05
size=81920, type=c
EOF
  disk_oracles big
  test_volume big 1 fat32 BIG_FAT32 -s 1
  local first count
  while read -r first count; do
    sector_pattern "$first" "$count" | dd of="$OUT/big.raw" bs=512 seek="$first" conv=notrunc status=none
  done <<<"$BIG_CHUNKS"
  printf '%s\n' "$BIG_CHUNKS" >"$OUT/oracle/big.chunks"
  manifest big.raw "4.5 GiB sparse MBR: p1 FAT32 40 MiB (0c); sector-numbered data at the sectors in oracle/big.chunks (across 2 GiB and 4 GiB, and the last 2 MiB but one)"
}

# The demo's files, and one deleted photo for its deleted-file scan.
fill_sample_volume() {
  local c=$OUT/content/sample-p$CUR_N
  make_sample_tree "$c"
  copy_tree "$c"
  mkdir -p "$c.deleted/Photos"
  gradient_bmp >"$c.deleted/Photos/Beach photo.bmp"
  touch -d "$FILE_TIME" "$c.deleted/Photos/Beach photo.bmp"
  vol_put "$c.deleted/Photos/Beach photo.bmp" "Photos/Beach photo.bmp"
  vol_rm "Photos/Beach photo.bmp"
}

build_sample() {
  new_disk sample 64M
  run sfdisk -q "$OUT/sample.raw" <<'EOF'
label: dos
label-id: 0x51e1da06
size=73728, type=c
type=7
EOF
  open_volume sample 1 fat32 SAMPLE -s 1; fill_sample_volume; close_volume
  open_volume sample 2 ntfs Sample; fill_sample_volume; close_volume
  disk_oracles sample
  record_info sample.raw raw
  manifest sample.raw "demo disk, 64 MiB MBR: p1 FAT32 and p2 NTFS, each with Documents/ and Photos/ and one deleted Photos/Beach photo.bmp"
  convert_img sample.raw sample.vmdk vmdk subformat=monolithicSparse "VMDK monolithicSparse: the demo VM disk"
}

# ---------------------------------------------------------------- conversions
# convert_img SRC DEST FORMAT OPTIONS DESCRIPTION; qemu-img keeps the source's holes.
convert_img() {
  mkdir -p "$OUT/$(dirname "$2")"
  run qemu-img convert -f raw -O "$3" ${4:+-o "$4"} "$OUT/$1" "$OUT/$2"
  record_info "$2" "$3"
  manifest "$2" "$1 as $5"
}
# record_info IMAGE FORMAT. The format is given, never probed: a fixed VHD has
# its only header at the end, and probing takes it for a raw disk.
record_info() {
  local base=$OUT/info/${1//\//_}
  (cd "$OUT" && qemu-img info -f "$2" "$1") >"$base.txt"
  (cd "$OUT" && qemu-img map -f "$2" --output=json "$1") >"$base.map.json"
}

convert_all() {
  local f vhd='size rounded up to a CHS geometry (see info/)'
  for f in mbr gpt mbr-4prim big; do record_info "$f.raw" raw; done
  convert_img mbr.raw mbr-monoflat.vmdk vmdk subformat=monolithicFlat "VMDK monolithicFlat: descriptor"
  manifest mbr-monoflat-flat.vmdk "mbr.raw as VMDK monolithicFlat: its flat extent"
  convert_img mbr.raw mbr-monosparse.vmdk vmdk subformat=monolithicSparse "VMDK monolithicSparse"
  convert_img mbr.raw mbr-stream.vmdk vmdk subformat=streamOptimized "VMDK streamOptimized (compressed grains)"
  convert_img mbr.raw mbr-static.vdi vdi static=on "VDI static (qemu's header text)"
  convert_img mbr.raw mbr-dynamic.vdi vdi '' "VDI dynamic (qemu's header text)"
  convert_img mbr.raw mbr-fixed.vhd vpc subformat=fixed "VHD fixed; $vhd; qemu-img needs -f vpc"
  convert_img mbr.raw mbr-dynamic.vhd vpc subformat=dynamic "VHD dynamic; $vhd"
  convert_img gpt.raw gpt-monosparse.vmdk vmdk subformat=monolithicSparse "VMDK monolithicSparse"
  convert_img gpt.raw gpt-dynamic.vdi vdi '' "VDI dynamic"
  convert_img gpt.raw gpt-fixed.vhd vpc subformat=fixed "VHD fixed; $vhd, so the backup GPT is not in its last sector; qemu-img needs -f vpc"
  convert_img big.raw big-2gbflat/big.vmdk vmdk subformat=twoGbMaxExtentFlat "VMDK twoGbMaxExtentFlat: descriptor"
  convert_img big.raw big-2gbsparse/big.vmdk vmdk subformat=twoGbMaxExtentSparse "VMDK twoGbMaxExtentSparse: descriptor"
  convert_img big.raw big-monosparse.vmdk vmdk subformat=monolithicSparse "VMDK monolithicSparse"
  for f in "$OUT"/big-2gbflat/big-f* "$OUT"/big-2gbsparse/big-s*; do
    manifest "${f#"$OUT"/}" "extent of $(basename "$(dirname "$f")")/big.vmdk: 2 GiB of big.raw (the third: the last 512 MiB)"
  done
}

# Real Windows dynamic disks; no Linux tool writes LDM, so they come as data.
unpack_ldm() {
  local tarball=$HERE/../data/ldm/ldm-data.tar.xz a=() g v p
  if [[ ! -f $tarball ]]; then log "no $tarball: skipping the LDM disks"; return 0; fi
  mkdir -p "$OUT/ldm"
  run tar xJf "$tarball" -C "$OUT/ldm"
  for p in "$OUT"/ldm/*.img; do a+=(-d "$p"); done
  # ldmtool's view of every disk group, volume and partition, as JSON objects.
  {
    for g in $(ldmtool "${a[@]}" scan 2>/dev/null | grep -o '[0-9a-f-]\{36\}'); do
      ldmtool "${a[@]}" show diskgroup "$g" 2>/dev/null
      for v in $(ldmtool "${a[@]}" show diskgroup "$g" 2>/dev/null | sed -n '/"volumes"/,/]/p' | grep -o '"[^"]*"' | tail -n +2 | tr -d '"'); do
        ldmtool "${a[@]}" show volume "$g" "$v" 2>/dev/null
        for p in $(ldmtool "${a[@]}" show volume "$g" "$v" 2>/dev/null | sed -n '/"partitions"/,/]/p' | grep -o '"[^"]*"' | tail -n +2 | tr -d '"'); do
          ldmtool "${a[@]}" show partition "$g" "$p" 2>/dev/null
        done
      done
    done
  } >"$OUT/oracle/ldm.json"
  manifest ldm/ "19 real LDM (Windows dynamic) disks of 50 MiB from tests/data/ldm; ldmtool's view in oracle/ldm.json"
}

# ---------------------------------------------------------------- main
image_script_fresh .qelda-images
mkdir -p "$OUT/info" "$OUT/oracle" "$OUT/content"

{
  echo "# Made by tests/images/make_images.sh. Partition numbers (-pN) are those of"
  echo "# sfdisk/sgdisk: logical partitions start at 5. oracle/NAME.parts: N start count fs."
  echo "# content/NAME-pN/: the files each volume shows; content/NAME-pN.deleted/: the deleted ones"
  echo "# whose data is intact (hole.bin is also deleted, but its clusters were reused)."
} >"$OUT/MANIFEST"
build_sample
if ((SAMPLE_ONLY)); then
  echo "$HASH" >"$OUT/.stamp-sample"; log "sample built in ${SECONDS}s"; exit 0
fi
build_mbr
build_gpt
build_4prim
build_big
convert_all
unpack_ldm
manifest info/ "qemu-img info and map (JSON) of every image: info/NAME.txt, NAME.map.json ('/' in NAME as '_')"
manifest oracle/ "mmls per raw disk, fsstat/fls (-r -p) per volume, dump.exfat per exFAT, NAME.parts, big.chunks"
manifest content/ "the exact files written into each volume, to compare recovered files with"

# Every image on disk must be described, or a test could rely on an undocumented file.
while IFS= read -r f; do
  grep -q "^${f//./\\.} " "$OUT/MANIFEST" || die "$f is not in MANIFEST"
done < <(cd "$OUT" && find . -maxdepth 2 -type f \( -name '*.raw' -o -name '*.vmdk' -o -name '*.vdi' -o -name '*.vhd' \) | sed 's|^\./||')
image_script_done
