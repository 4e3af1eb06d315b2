#!/usr/bin/env bash
# Makes the NTFS volume files the engine tests read, with mkntfs and ntfs-3g, and the
# listings of The Sleuth Kit the tests hold the engine's findings against.
#
#   make_ntfs_images.sh OUTDIR
#
# For each cluster size N in 512, 1024, 4096 and 65536:
#   OUTDIR/ntfs-N.img     the volume (a bare file system, no partition table)
#   OUTDIR/ntfs-N.vmdk    a monolithicFlat descriptor naming it, so it mounts as an image
#   OUTDIR/ntfs-N.fls     `fls -r -p -u -l` of the volume: the live tree with sizes
#   OUTDIR/ntfs-N.tsk/    `tsk_recover -a` of the volume: every live file's bytes as The
#                         Sleuth Kit reads them (empty files and folders left out)
# A volume with deleted files and folders (some of their records reused afterwards):
#   OUTDIR/ntfs-deleted.img, .vmdk, .fls as above, and
#   OUTDIR/ntfs-deleted.fls-d `fls -r -d -p -l`: the deleted entries with their paths and sizes
#   OUTDIR/ntfs-deleted-disk.{vmdk,vdi,vhd}  the volume inside an MBR disk at sector 2048
# A volume for the raw search: the carving corpus (OUTDIR/carve, made by
# tests/carve/make_carve_corpus.sh) and the fixtures of tests/data/carve written between live
# files, some of them fragmented on purpose, then deleted, so that they lie in free clusters:
#   OUTDIR/ntfs-raw.img, and OUTDIR/ntfs-raw-disk.vmdk (flat: an MBR, then the volume at 2048)
#   OUTDIR/ntfs-raw.manifest  "NAME TYPE-ID SIZE FIRST-CLUSTER FRAGMENTS SIZED" per planted
#       file, from istat before the deletion (FRAGMENTS 0: in its MFT record; SIZED 0: the
#       format carries no size)
#   OUTDIR/ntfs-raw.free      `blkls -A` of the volume as runs "FIRST COUNT" of free clusters
# Needs root and /dev/fuse (ntfs-3g mounts the volume file to fill it).
# Cached (tests/support/image_script.sh): made again from scratch only when this script, the
# corpus script or the planted fixtures change.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"

CARVE_SCRIPT=$HERE/../carve/make_carve_corpus.sh
FIXTURES=$HERE/../data/carve
# The planted files are part of what is made: a change to them makes everything again.
image_script_start "$@" -- "$CARVE_SCRIPT" "$FIXTURES"/*

export LC_ALL=C.UTF-8 TZ=UTC

need_tools "ntfs-3g sleuthkit fuse attr" mkntfs ntfs-3g fls icat istat blkls tsk_recover fusermount setfattr sfdisk sgdisk qemu-img python3
image_script_fresh

# Text whose every line is distinct, so data read from the wrong place shows.
text_file() { seq -f "$2 line %06g of qelda ntfs test data" 1 "$3" >"$1"; }
binary_file() { seq -f "$2 %09g" 1 $(($3 / 3 + 1000)) | gzip -n -1 | head -c "$3" >"$1"; }

fill_volume() {
  local m=$1 cluster=$2
  mkdir -p "$m/Docs/Reports/2021" "$m/Docs/Empty folder" "$m/deep/a/b/c/d/e/f/g/h" "$m/Ελληνικά"
  printf 'qelda ntfs volume, clusters of %s bytes\n' "$cluster" >"$m/readme.txt"
  : >"$m/empty.txt"
  head -c 100 /dev/zero | tr '\0' 'r' >"$m/small-resident.txt"
  text_file "$m/Docs/Reports/2021/report.txt" report 2000
  text_file "$m/Docs/notes.txt" notes 30
  binary_file "$m/big.bin" big 3145728
  printf 'deep down\n' >"$m/deep/a/b/c/d/e/f/g/h/deep.txt"
  text_file "$m/Ελληνικά/Ünïcödé — 日本語.txt" unicode 50
  # A long name with a DOS twin, and an upper-case 8.3 name that is its own DOS name.
  text_file "$m/Long File Name.txt" longname 40
  setfattr -n system.ntfs_dos_name -v 'LONGFI~1.TXT' "$m/Long File Name.txt"
  text_file "$m/SHORT.TXT" short 10
  setfattr -n system.ntfs_dos_name -v 'SHORT.TXT' "$m/SHORT.TXT"
  # Hard links: one record, two names in two folders.
  ln "$m/Docs/notes.txt" "$m/notes-link.txt"
  # A folder big enough for a many-block index.
  mkdir "$m/many"
  for i in $(seq -w 1 3000); do printf 'file %s\n' "$i" >"$m/many/f$i.txt"; done
  # A file written cluster by cluster, the even ones first: its runs and names outgrow the
  # base record, so it gets an attribute list (itself non-resident) and an extension record.
  local clusters=400
  ((cluster >= 65536)) && clusters=100
  head -c $((cluster * clusters)) /dev/urandom >"$WORK/listed"
  truncate -s $((cluster * clusters)) "$m/listed.bin"
  for i in $(seq 0 2 $((clusters - 1))) $(seq 1 2 $((clusters - 1))); do
    dd if="$WORK/listed" of="$m/listed.bin" bs="$cluster" skip="$i" seek="$i" count=1 conv=notrunc status=none
  done
  # A sparse file: holes between written pieces, and a hole at the end.
  truncate -s 5M "$m/sparse.bin"
  printf 'start of sparse file\n' | dd of="$m/sparse.bin" conv=notrunc status=none
  text_file "$WORK/piece" piece 3000
  dd if="$WORK/piece" of="$m/sparse.bin" bs=1 seek=1048576 conv=notrunc status=none
  dd if="$WORK/piece" of="$m/sparse.bin" bs=1 seek=3145851 conv=notrunc status=none
}

fill_compressed() {
  local m=$1
  mkdir "$m/packed"
  # Files made in a folder marked compressed are stored compressed.
  setfattr -n system.ntfs_attrib_be -v 0x00000800 "$m/packed"
  text_file "$m/packed/text.txt" packed 20000
  binary_file "$m/packed/random.bin" random 200000
  { text_file /dev/stdout mixed 3000; head -c 70000 "$WORK/listed"; text_file /dev/stdout tail 3000; } >"$m/packed/mixed.bin"
  printf 'tiny compressed\n' >"$m/packed/tiny.txt"
  head -c 300000 /dev/zero >"$m/packed/zeros.bin"
  truncate -s 2M "$m/packed/sparse-packed.bin"
  dd if="$WORK/piece" of="$m/packed/sparse-packed.bin" bs=1 seek=700000 conv=notrunc status=none
}

# Three sessions, as a user would leave a disk: files made; files and whole trees removed;
# new files made, which take the lowest records freed (those of orphan/ and of the first
# removed files), so that some deleted records are reused and one deleted folder loses its
# parent.
fill_deleted() {
  local m=$1
  mkdir "$m/orphan"
  mkdir -p "$m/keep/sub" "$m/gone/inner/deeper" "$m/mixed" "$m/bulk"
  text_file "$m/keep/a.txt" keep 2000
  binary_file "$m/keep/sub/b.bin" keepbin 200000
  text_file "$m/gone/g1.txt" gone1 300
  binary_file "$m/gone/inner/g2.bin" gone2 300000
  text_file "$m/gone/inner/deeper/g3.txt" gone3 5000
  : >"$m/gone/inner/deeper/empty.txt"
  printf 'live\n' >"$m/mixed/live.txt"
  text_file "$m/mixed/dead.txt" dead 9000
  printf 'dead and small\n' >"$m/mixed/dead-small.txt"
  text_file "$m/root-dead.txt" rootdead 3000
  truncate -s 3M "$m/sparse-dead.bin"
  text_file "$WORK/piece" piece 3000
  dd if="$WORK/piece" of="$m/sparse-dead.bin" bs=1 seek=1048576 conv=notrunc status=none
  for i in $(seq -w 1 600); do printf 'bulk %s\n' "$i" >"$m/bulk/b$i.txt"; done
  # A folder whose index shrinks from many blocks to one: the blocks it frees keep entries.
  mkdir "$m/shrink"
  for i in $(seq -w 1 1500); do printf 'shrink %s\n' "$i" >"$m/shrink/s$i.txt"; done
  mkdir -p "$m/orphan/child"
  text_file "$m/orphan/child/ch.txt" orphan 700
}
remove_some() {
  local m=$1
  rm "$m/mixed/dead.txt" "$m/mixed/dead-small.txt" "$m/root-dead.txt" "$m/keep/sub/b.bin" "$m/sparse-dead.bin"
  rm -r "$m/gone" "$m/orphan"
  rm "$m"/bulk/b0[0-4]*.txt
  rm "$m"/shrink/s0*.txt "$m"/shrink/s1[0-4]*.txt
}
reuse_some() {
  local m=$1
  text_file "$m/reused.txt" reused 20
  printf 'second\n' >"$m/keep/second.txt"
}

img=$OUT/ntfs-deleted.img
log "making $img"
truncate -s $((64 * 1024 * 1024)) "$img"
mkntfs -F -Q -q -c 4096 -L qeldadel "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"
for step in fill_deleted remove_some reuse_some; do
  mount_ntfs "$img"
  "$step" "$MNT"
  release_volume
done
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW %d FLAT "%s" 0\n' \
  $(($(stat -c %s "$img") / 512)) "ntfs-deleted.img" >"$OUT/ntfs-deleted.vmdk"
timeout 300 fls -r -p -u -l "$img" >"$OUT/ntfs-deleted.fls"
timeout 300 fls -r -d -p -l "$img" >"$OUT/ntfs-deleted.fls-d"

for cluster in 512 1024 4096 65536; do
  img=$OUT/ntfs-$cluster.img
  size=$((96 * 1024 * 1024))
  ((cluster >= 65536)) && size=$((256 * 1024 * 1024))
  log "making $img"
  truncate -s "$size" "$img"
  mkntfs -F -Q -q -c "$cluster" -L "qelda$cluster" "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"
  mount_ntfs "$img"
  fill_volume "$MNT" "$cluster"
  release_volume
  # ntfs-3g compresses only on clusters of 4096 bytes or less.
  if ((cluster <= 4096)); then
    mount_ntfs "$img" compression
    fill_compressed "$MNT"
    release_volume
  fi
  sectors=$((size / 512))
  printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW %d FLAT "%s" 0\n' \
    "$sectors" "ntfs-$cluster.img" >"$OUT/ntfs-$cluster.vmdk"
  timeout 300 fls -r -p -u -l "$img" >"$OUT/ntfs-$cluster.fls"
  timeout 300 tsk_recover -a "$img" "$OUT/ntfs-$cluster.tsk" >>"$WORK/tools.log" 2>&1
done

# The 4096-byte volume inside partitioned disks of every image format, as a virtual
# machine would hold it: MBR and GPT, each at 1 MiB.
vol=$OUT/ntfs-4096.img
vol_sectors=$(($(stat -c %s "$vol") / 512))
disk_bytes=$(((vol_sectors + 2048 + 2048) * 512))
for table in mbr gpt; do
  raw=$WORK/ntfs-$table.raw
  truncate -s "$disk_bytes" "$raw"
  if [[ $table == mbr ]]; then
    printf 'label: dos\nstart=2048, size=%d, type=7\n' "$vol_sectors" | sfdisk -q "$raw" >>"$WORK/tools.log" 2>&1
  else
    sgdisk -n "1:2048:+$vol_sectors" -t 1:0700 "$raw" >>"$WORK/tools.log" 2>&1
  fi
  dd if="$vol" of="$raw" bs=1M seek=1 conv=notrunc,sparse status=none
done
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$WORK/ntfs-mbr.raw" "$OUT/ntfs-disk-mbr.vmdk"
qemu-img convert -f raw -O vdi "$WORK/ntfs-mbr.raw" "$OUT/ntfs-disk-mbr.vdi"
qemu-img convert -f raw -O vpc -o subformat=dynamic "$WORK/ntfs-gpt.raw" "$OUT/ntfs-disk-gpt.vhd"
qemu-img convert -f raw -O vmdk -o subformat=twoGbMaxExtentSparse "$WORK/ntfs-gpt.raw" "$OUT/ntfs-disk-gpt.vmdk"

vol=$OUT/ntfs-deleted.img
vol_sectors=$(($(stat -c %s "$vol") / 512))
raw=$WORK/ntfs-deleted.raw
truncate -s $(((vol_sectors + 4096) * 512)) "$raw"
printf 'label: dos\nstart=2048, size=%d, type=7\n' "$vol_sectors" | sfdisk -q "$raw" >>"$WORK/tools.log" 2>&1
dd if="$vol" of="$raw" bs=1M seek=1 conv=notrunc,sparse status=none
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$raw" "$OUT/ntfs-deleted-disk.vmdk"
qemu-img convert -f raw -O vdi "$raw" "$OUT/ntfs-deleted-disk.vdi"
qemu-img convert -f raw -O vpc -o subformat=dynamic "$raw" "$OUT/ntfs-deleted-disk.vhd"

# ---------------------------------------------------------------- the raw-search volume
bash "$CARVE_SCRIPT" "$OUT/carve" >>"$WORK/tools.log" 2>&1 || die "the carving corpus could not be made"
plant_list=$WORK/plant.list  # source, name, type id, sized
while IFS=$'\t' read -r name type _; do
  printf '%s\t%s\t%s\t1\n' "$OUT/carve/$name" "$name" "$type"
done <"$OUT/carve/manifest" >"$plant_list"
for f in word.doc:113 difat.doc:113 sheet.xls:114 slides.ppt:115 tone.au:57 piped.au:57 video.avi:165 \
         stored.rar:48 commented.rar:48; do
  # A sound written to a pipe does not know its length.
  printf '%s\t%s\t%s\t%s\n' "$FIXTURES/${f%%:*}" "${f%%:*}" "${f##*:}" "$([[ ${f%%:*} == piped.au ]] && echo 0 || echo 1)"
done >>"$plant_list"

# A file smaller than its MFT record would stay inside it: grown past it and cut back, it
# keeps a cluster of its own, its bytes at the cluster's start.
plant_file() {  # source destination
  local size
  size=$(stat -c %s "$1")
  cat "$1" >"$2"
  if ((size < 4096)); then
    head -c 8192 /dev/zero >>"$2"
    truncate -s "$size" "$2"
  fi
}
# The second half written first: its clusters come before the first half's.
plant_fragmented() {  # source destination
  local size half
  size=$(stat -c %s "$1")
  half=$((size / 8192))
  truncate -s "$size" "$2"
  dd if="$1" of="$2" bs=4096 skip="$half" seek="$half" conv=notrunc status=none
  sync "$2"
  dd if="$1" of="$2" bs=4096 count="$half" conv=notrunc status=none
}
fill_raw() {
  local m=$1 i=0 src name type sized
  mkdir -p "$m/live" "$m/plant"
  while IFS=$'\t' read -r src name type sized; do
    # Live neighbours of one to three clusters keep the free runs apart.
    head -c $(((i % 3 + 1) * 4096)) /dev/urandom >"$m/live/k$i.bin"
    plant_file "$src" "$m/plant/$name"
    i=$((i + 1))
  done <"$plant_list"
  for name in pillow_noisy.jpg pillow_multi_idat.png magick_be_strips.tif difat.doc; do
    src=$(awk -F'\t' -v n="$name" '$2 == n { print $1 }' "$plant_list")
    head -c 4096 /dev/urandom >"$m/live/f-$name"
    plant_fragmented "$src" "$m/plant/frag-$name"
  done
  head -c 4096 /dev/urandom >"$m/live/last.bin"
}

img=$OUT/ntfs-raw.img
log "making $img"
truncate -s $((64 * 1024 * 1024)) "$img"
mkntfs -F -Q -q -c 4096 -L qeldaraw "$img" >>"$WORK/tools.log" 2>&1 || die "mkntfs failed"
mount_ntfs "$img"
fill_raw "$MNT"
release_volume
# Where each planted file lies, while its record still names it.
timeout 300 fls -r -p -u "$img" >"$WORK/raw.fls"
python3 - "$img" "$WORK/raw.fls" "$plant_list" >"$OUT/ntfs-raw.manifest" <<'PY'
import subprocess, sys
img, fls, plants = sys.argv[1:4]
records = {}
for line in open(fls, encoding="utf-8"):
    head, _, path = line.rstrip("\n").partition("\t")
    if path.startswith("plant/"):
        records[path[6:]] = head.split()[-1].rstrip(":").split("-")[0]
listed = {}
for line in open(plants, encoding="utf-8"):
    src, name, type_id, sized = line.rstrip("\n").split("\t")
    listed[name] = (type_id, sized)
    listed["frag-" + name] = (type_id, sized)
for name in sorted(records):
    type_id, sized = listed[name]
    out = subprocess.run(["istat", img, records[name]], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    size, clusters, taking = 0, [], False
    for l in lines:
        if l.startswith("Type: $DATA"):
            taking = "Non-Resident" in l
            size = int(l.split("size:")[1].split()[0])
            continue
        if l.startswith("Type:"):
            taking = False
        elif taking:
            clusters += [int(c) for c in l.split()]
    pieces = 0 if not clusters else 1 + sum(1 for a, b in zip(clusters, clusters[1:]) if b != a + 1)
    first = clusters[0] if clusters else -1
    print(f"{name}\t{type_id}\t{size}\t{first}\t{pieces}\t{sized}")
PY
mount_ntfs "$img"
rm -r "$MNT/plant"
release_volume
timeout 300 blkls -A -l "$img" | awk -F'|' '
  $2 == "f" { if ($1 == last + 1 && n) { count++ } else { if (n) print first, count; first = $1; count = 1; n = 1 } last = $1 }
  END { if (n) print first, count }' >"$OUT/ntfs-raw.free"
vol_sectors=$(($(stat -c %s "$img") / 512))
python3 - "$OUT/ntfs-raw-mbr.bin" "$vol_sectors" <<'PY'
import struct, sys
mbr = bytearray(2048 * 512)
mbr[0x1BE + 4] = 0x07
struct.pack_into("<II", mbr, 0x1BE + 8, 2048, int(sys.argv[2]))
mbr[510:512] = b"\x55\xaa"
open(sys.argv[1], "wb").write(mbr)
PY
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW 2048 FLAT "ntfs-raw-mbr.bin" 0\nRW %d FLAT "ntfs-raw.img" 0\n' \
  "$vol_sectors" >"$OUT/ntfs-raw-disk.vmdk"

image_script_done
