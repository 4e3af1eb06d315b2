#!/usr/bin/env bash
# Makes the disks the lost-volume search is tested on: partitioned with sfdisk, formatted
# and filled with the real tools, then damaged (the partition table wiped, boot sectors
# zeroed). The answers are taken from The Sleuth Kit and dump.exfat before the damage.
#
#   make_lost_images.sh OUTDIR
#
# OUTDIR/chs.raw       100 MiB, volumes on cylinder boundaries of 255 heads and 63 sectors:
#                      p1 NTFS at 63 (its backup boot sector at 32129, right before a
#                      cylinder), p2 FAT32 at 32193 (empty), p3 exFAT at 80325
# OUTDIR/mib.raw       256 MiB, volumes on mebibyte boundaries: p1 NTFS (2 KiB clusters) at
#                      2048, p2 FAT32, p3 exFAT, p4 FAT16 (one reserved sector, 512 root
#                      entries, 4-sector clusters, many folders)
# OUTDIR/fatend.raw    FAT32 volumes whose FATs map another length than their boot sectors
#                      give: p1 at 2048 (98280 sectors; its FAT maps 96768), its files in
#                      its last clusters; p2 at 112455 to the disk's end (655326 sectors;
#                      its FAT maps 655360), empty
# Damaged copies:
#   chs-wiped.raw           sector 0 zeroed
#   chs-ntfs-backup.raw     sector 0 and the NTFS boot sector zeroed (its backup is left)
#   mib-wiped.raw           sector 0 zeroed
#   fatend-wiped.raw        sector 0 zeroed
#   fatend-cut.raw          fatend-wiped.raw cut 600000 sectors into p2
#   mib-damaged.raw         sector 0, both NTFS boot sectors, the FAT16 boot sector and the
#                           exFAT main boot sector zeroed
#   ntfsK-wiped.raw         64 MiB, one empty NTFS of K KiB clusters (K = 4, 8, 16, 64) at
#                           2048, sector 0 zeroed: $MFTMirr holds a cluster's worth of records
#   ntfs8-nomft.raw         ntfs8-wiped.raw with $MFT's own record zeroed ($MFTMirr's copy left)
#   ntfs64-damaged.raw      ntfs64-wiped.raw with both NTFS boot sectors zeroed too
#   chs-wiped.{vmdk,vdi,vhd}, mib-damaged.{vmdk,vdi,vhd}   the same inside disk images
# Answers, per disk D and partition N:
#   D.mmls, D.parts ("N start count fs" per line), D-pN.fsstat, D-pN.fls (fls -r -p),
#   D-pN.dump.exfat
# Needs root and /dev/fuse (ntfs-3g fills the NTFS volumes).
# Cached (tests/support/image_script.sh): made again from scratch only when this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1

need_tools "fdisk ntfs-3g fuse dosfstools mtools exfatprogs sleuthkit qemu-utils" \
  sfdisk mkntfs ntfs-3g fusermount mkfs.fat mmd mcopy mkfs.exfat dump.exfat mmls fsstat fls qemu-img
image_script_fresh

text_file() { seq -f "$2 line %06g of qelda lost-volume test data" 1 "$3" >"$1"; }

# part_geom DISK N: "start count" of partition N.
part_geom() { sfdisk -d "$1" | sed -n "s|^$1$2 : start= *\([0-9]*\), size= *\([0-9]*\),.*|\1 \2|p"; }

# The files every volume gets: folders (each a directory cluster of its own) and files.
make_tree() {
  local d=$1 tag=$2 i
  mkdir -p "$d/Docs/Reports" "$d/Photos" "$d/Music/Old"
  for i in 1 2 3 4 5 6; do mkdir -p "$d/Folder $i"; text_file "$d/Folder $i/file$i.txt" "$tag f$i" $((i * 150)); done
  printf 'qelda lost-volume test %s\n' "$tag" >"$d/readme.txt"
  text_file "$d/Docs/Reports/report.txt" "$tag report" 1200
  text_file "$d/Docs/A long name beyond eight dot three.txt" "$tag long" 40
  head -c 70000 /dev/urandom >"$d/Photos/picture.bin"
  text_file "$d/Music/Old/list.txt" "$tag music" 30
}

# put_fat DISK START: the tree into the FAT volume at START, with mtools.
put_fat() {
  local img=$1@@$(($2 * 512)) src=$WORK/tree p
  rm -rf "$src"; make_tree "$src" "$(basename "$1")-$2"
  while IFS= read -r p; do run mmd -i "$img" "::/$p"; done < <(cd "$src" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort)
  while IFS= read -r p; do run mcopy -i "$img" "$src/$p" "::/$p"; done < <(cd "$src" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
}

# ntfs_volume FILE SECTORS START [mkntfs options]: an NTFS volume file filled through ntfs-3g.
ntfs_volume() {
  local file=$1 sectors=$2 start=$3; shift 3
  truncate -s $((sectors * 512)) "$file"
  run mkntfs -F -Q -q -p "$start" -H 255 -S 63 -L "lost$start" "$@" "$file"
  mount_ntfs "$file"
  make_tree "$MNT" "ntfs-$start"
  release_volume
}

# exfat_volume FILE SECTORS LABEL: an empty exFAT volume file.
exfat_volume() {
  truncate -s $(($2 * 512)) "$1"
  run mkfs.exfat -L "$3" "$1"
}

# place DISK START FILE: a volume file written into the disk at START.
place() { dd if="$3" of="$1" bs=512 seek="$2" conv=notrunc,sparse status=none; }
zero_sector() { dd if=/dev/zero of="$1" bs=512 seek="$2" count=1 conv=notrunc status=none; }
le64_at() { od -An -t u8 -j "$2" -N 8 "$1" | tr -d ' '; }

# answers NAME: mmls, the partitions, and each volume's fsstat, fls and dump.exfat.
answers() {
  local name=$1 disk=$OUT/$1.raw n start count fs
  timeout 120 mmls "$disk" >"$OUT/$name.mmls"
  while read -r n start count fs; do
    case $fs in
      exfat)
        dd if="$disk" of="$WORK/vol" bs=512 skip="$start" count="$count" status=none
        dump.exfat "$WORK/vol" >"$OUT/$name-p$n.dump.exfat" 2>&1 ;;
      *)
        timeout 120 fsstat -f "$fs" -o "$start" "$disk" >"$OUT/$name-p$n.fsstat"
        timeout 120 fls -f "$fs" -r -p -o "$start" "$disk" >"$OUT/$name-p$n.fls" ;;
    esac
  done <"$OUT/$name.parts"
}

# ---------------------------------------------------------------- chs.raw
log "making chs.raw"
disk=$OUT/chs.raw
truncate -s 100M "$disk"
run sfdisk -q "$disk" <<'EOF'
label: dos
label-id: 0x1c5c1c5c
start=63, size=32067, type=7
start=32193, size=40000, type=c
start=80325, size=60000, type=7
EOF
ntfs_volume "$WORK/ntfs.vol" 32067 63
place "$disk" 63 "$WORK/ntfs.vol"
# Too few clusters for mtools to take it for FAT32 (it would refuse to write): left empty.
run mkfs.fat -F 32 -s 1 --invariant -h 32193 -n CHSFAT32 --offset=32193 "$disk" 20000
exfat_volume "$WORK/exfat.vol" 60000 CHSEXFAT
place "$disk" 80325 "$WORK/exfat.vol"
printf '1 63 32067 ntfs\n2 32193 40000 fat32\n3 80325 60000 exfat\n' >"$OUT/chs.parts"
answers chs

cp --sparse=always "$disk" "$OUT/chs-wiped.raw"
zero_sector "$OUT/chs-wiped.raw" 0
cp --sparse=always "$OUT/chs-wiped.raw" "$OUT/chs-ntfs-backup.raw"
zero_sector "$OUT/chs-ntfs-backup.raw" 63

# ---------------------------------------------------------------- mib.raw
log "making mib.raw"
disk=$OUT/mib.raw
truncate -s 256M "$disk"
run sfdisk -q "$disk" <<'EOF'
label: dos
label-id: 0x3a1b3a1b
size=64MiB, type=7
size=64MiB, type=c
size=32MiB, type=7
size=80MiB, type=6
EOF
read -r s1 c1 <<<"$(part_geom "$disk" 1)"
read -r s2 c2 <<<"$(part_geom "$disk" 2)"
read -r s3 c3 <<<"$(part_geom "$disk" 3)"
read -r s4 c4 <<<"$(part_geom "$disk" 4)"
ntfs_volume "$WORK/ntfs2.vol" "$c1" "$s1" -c 2048
place "$disk" "$s1" "$WORK/ntfs2.vol"
run mkfs.fat -F 32 --invariant -h "$s2" -n MIBFAT32 --offset="$s2" "$disk" $((c2 / 2))
put_fat "$disk" "$s2"
exfat_volume "$WORK/exfat2.vol" "$c3" MIBEXFAT
place "$disk" "$s3" "$WORK/exfat2.vol"
run mkfs.fat -F 16 -s 4 -R 1 -r 512 -a --invariant -h "$s4" -n MIBFAT16 --offset="$s4" "$disk" $((c4 / 2))
put_fat "$disk" "$s4"
printf '1 %s %s ntfs\n2 %s %s fat32\n3 %s %s exfat\n4 %s %s fat16\n' \
  "$s1" "$c1" "$s2" "$c2" "$s3" "$c3" "$s4" "$c4" >"$OUT/mib.parts"
answers mib

cp --sparse=always "$disk" "$OUT/mib-wiped.raw"
zero_sector "$OUT/mib-wiped.raw" 0
cp --sparse=always "$OUT/mib-wiped.raw" "$OUT/mib-damaged.raw"
ntfs_total=$(le64_at "$disk" $((s1 * 512 + 0x28)))
zero_sector "$OUT/mib-damaged.raw" "$s1"
zero_sector "$OUT/mib-damaged.raw" $((s1 + ntfs_total))
zero_sector "$OUT/mib-damaged.raw" "$s3"
zero_sector "$OUT/mib-damaged.raw" "$s4"

# ---------------------------------------------------------------- fatend.raw
log "making fatend.raw"
disk=$OUT/fatend.raw
truncate -s $(((112455 + 655326) * 512)) "$disk"
run sfdisk -q "$disk" <<'EOF'
label: dos
label-id: 0x5e7d5e7d
start=2048, size=98304, type=c
start=112455, size=655326, type=c
EOF
run mkfs.fat -F 32 -s 1 --invariant -h 2048 -n ENDFAT32 --offset=2048 "$disk" 49152
# A file fills all but the last 1200 sectors, so that the tree lies in the last clusters.
free=$(fsstat -f fat32 -o 2048 "$disk" | sed -n 's/^Free Sector Count (FS Info): \([0-9]*\)$/\1/p')
((free > 1200)) || die "fatend.raw: no free sector count from fsstat"
head -c $(((free - 1200) * 512)) /dev/zero >"$WORK/filler.bin"
run mcopy -i "$disk@@$((2048 * 512))" "$WORK/filler.bin" ::/filler.bin
put_fat "$disk" 2048
run mkfs.fat -F 32 --invariant -h 112455 -n ENDFAT32B --offset=112455 "$disk" $((655326 / 2))
printf '1 2048 98304 fat32\n2 112455 655326 fat32\n' >"$OUT/fatend.parts"
answers fatend
cp --sparse=always "$disk" "$OUT/fatend-wiped.raw"
zero_sector "$OUT/fatend-wiped.raw" 0
cp --sparse=always "$OUT/fatend-wiped.raw" "$OUT/fatend-cut.raw"
truncate -s $(((112455 + 600000) * 512)) "$OUT/fatend-cut.raw"

# ---------------------------------------------------------------- ntfsK.raw
for kib in 4 8 16 64; do
  log "making ntfs$kib.raw"
  disk=$OUT/ntfs$kib.raw
  truncate -s 64M "$disk"
  run sfdisk -q "$disk" <<<$'label: dos\nstart=2048, type=7'
  read -r s1 c1 <<<"$(part_geom "$disk" 1)"
  truncate -s $((c1 * 512)) "$WORK/ntfs$kib.vol"
  run mkntfs -F -Q -q -p "$s1" -H 255 -S 63 -c $((kib * 1024)) -L "lost$kib" "$WORK/ntfs$kib.vol"
  place "$disk" "$s1" "$WORK/ntfs$kib.vol"
  rm -f "$WORK/ntfs$kib.vol"
  printf '1 %s %s ntfs\n' "$s1" "$c1" >"$OUT/ntfs$kib.parts"
  answers "ntfs$kib"
  cp --sparse=always "$disk" "$OUT/ntfs$kib-wiped.raw"
  zero_sector "$OUT/ntfs$kib-wiped.raw" 0
done
cp --sparse=always "$OUT/ntfs8-wiped.raw" "$OUT/ntfs8-nomft.raw"
mft=$(sed -n 's/^First Cluster of MFT: \([0-9]*\)$/\1/p' "$OUT/ntfs8-p1.fsstat")
[[ -n $mft ]] || die "ntfs8.raw: no \$MFT cluster from fsstat"
dd if=/dev/zero of="$OUT/ntfs8-nomft.raw" bs=512 seek=$((s1 + mft * 16)) count=2 conv=notrunc status=none
cp --sparse=always "$OUT/ntfs64-wiped.raw" "$OUT/ntfs64-damaged.raw"
zero_sector "$OUT/ntfs64-damaged.raw" "$s1"
zero_sector "$OUT/ntfs64-damaged.raw" $((s1 + $(le64_at "$OUT/ntfs64.raw" $((s1 * 512 + 0x28)))))

# ---------------------------------------------------------------- inside disk images
for name in chs-wiped mib-damaged; do
  run qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$OUT/$name.raw" "$OUT/$name.vmdk"
  run qemu-img convert -f raw -O vdi "$OUT/$name.raw" "$OUT/$name.vdi"
  run qemu-img convert -f raw -O vpc -o subformat=dynamic "$OUT/$name.raw" "$OUT/$name.vhd"
done

image_script_done
