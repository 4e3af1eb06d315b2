#!/usr/bin/env bash
# Makes disks that attack the lost-volume search, built with the real tools and then damaged
# or patterned on purpose, with the answers taken before the damage:
#
#   make_lost_hostile_images.sh OUTDIR
#
# OUTDIR/four.raw          256 MiB, mebibyte-aligned (sfdisk): p1 FAT16 at 2048, p2 NTFS,
#                          p3 FAT32, p4 exFAT, the FAT volumes holding folders; sector 0
#                          zeroed. four.parts: "N start fs" per line (mmls before the damage)
# OUTDIR/mft-8m.raw        8 MiB made of nothing but copies of the $MFT record of a volume
#                          mkntfs made (one every 1024 bytes), every second run of four
#                          naming the $MFT's first cluster one further on
# OUTDIR/mft-32m.raw       the same pattern, four times as long
# OUTDIR/mft.geometry      "sectors-per-cluster mft-cluster" of that volume
# OUTDIR/claims.raw        64 MiB, sector 0 zeroed: an exFAT at 2048 whose boot sector claims
#                          2^64-1 sectors, and a FAT32 at 67584 whose sectors per FAT claim
#                          far more than the disk. claims.parts: "N start fs"
# Needs root (ntfs-3g is not needed: mkntfs alone). Cached (tests/support/image_script.sh):
# made again from scratch only when this script changes.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1

need_tools "fdisk ntfs-3g dosfstools mtools exfatprogs sleuthkit perl" sfdisk mkntfs mkfs.fat mmd mcopy mkfs.exfat mmls fsstat perl

poke() {
  local file=$1 offset=$2; shift 2
  printf "$(printf '\\x%s' "$@")" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
le() { local v=$1 n=$2 i; for ((i = 0; i < n; i++)); do printf '%02x ' $(((v >> (8 * i)) & 0xff)); done; }
zero_sector() { dd if=/dev/zero of="$1" bs=512 seek="$2" count=1 conv=notrunc status=none; }
place() { dd if="$3" of="$1" bs=512 seek="$2" conv=notrunc,sparse status=none; }
part_start() { sfdisk -d "$1" | sed -n "s|^$1$2 : start= *\([0-9]*\),.*|\1|p"; }

# fat_folders DISK START TAG: 24 folders in three levels, each with a file, through mtools:
# every folder is a directory cluster of its own.
fat_folders() {
  local img=$1@@$(($2 * 512)) i j
  seq -f "$3 file line %06g" 1 400 >"$WORK/file.txt"
  for i in 1 2 3 4 5 6; do
    run mmd -i "$img" "::/Dir$i"
    run mcopy -i "$img" "$WORK/file.txt" "::/Dir$i/file.txt"
    for j in 1 2 3; do
      run mmd -i "$img" "::/Dir$i/Sub$j"
      run mcopy -i "$img" "$WORK/file.txt" "::/Dir$i/Sub$j/file.txt"
    done
  done
}

build_four() {
  local d=$OUT/four.raw s1 s2 s3 s4
  truncate -s 256M "$d"
  run sfdisk -q "$d" <<'EOF'
label: dos
label-id: 0x4f0a4f0a
start=2048, size=64MiB, type=6
size=64MiB, type=7
size=64MiB, type=c
size=48MiB, type=7
EOF
  s1=$(part_start "$d" 1) s2=$(part_start "$d" 2) s3=$(part_start "$d" 3) s4=$(part_start "$d" 4)
  run mkfs.fat -F 16 --invariant -h "$s1" -n FOURFAT16 --offset="$s1" "$d" $((64 * 1024))
  fat_folders "$d" "$s1" fat16
  truncate -s 64M "$WORK/ntfs.vol"
  run mkntfs -F -Q -q -p "$s2" -H 255 -S 63 -L FOURNTFS "$WORK/ntfs.vol"
  place "$d" "$s2" "$WORK/ntfs.vol"
  run mkfs.fat -F 32 --invariant -h "$s3" -n FOURFAT32 --offset="$s3" "$d" $((64 * 1024))
  fat_folders "$d" "$s3" fat32
  truncate -s 48M "$WORK/exfat.vol"
  run mkfs.exfat -L FOUREXFAT "$WORK/exfat.vol"
  place "$d" "$s4" "$WORK/exfat.vol"
  mmls "$d" >"$OUT/four.mmls"
  printf '1 %s FAT\n2 %s NTFS\n3 %s FAT32\n4 %s exFAT\n' "$s1" "$s2" "$s3" "$s4" >"$OUT/four.parts"
  zero_sector "$d" 0
}

# The $MFT record (record 0) of a small volume mkntfs made, repeated to fill SIZE.
build_mft_copies() {
  truncate -s 16M "$WORK/mft.vol"
  run mkntfs -F -Q -q -p 2048 -H 255 -S 63 -c 4096 -L COPIES "$WORK/mft.vol"   # 8-sector clusters
  fsstat -f ntfs "$WORK/mft.vol" >"$WORK/mft.fsstat"
  local spc mft
  spc=$(($(sed -n 's/^Cluster Size: \([0-9]*\)$/\1/p' "$WORK/mft.fsstat") / 512))
  mft=$(perl -e 'open(my $f, "<:raw", $ARGV[0]) or die; read($f, my $b, 512) == 512 or die; print unpack("Q<", substr($b, 0x30, 8))' "$WORK/mft.vol")
  dd if="$WORK/mft.vol" of="$WORK/record" bs=512 skip=$((mft * spc)) count=2 status=none
  [[ $(head -c 4 "$WORK/record") == FILE ]] || die "no \$MFT record at cluster $mft"
  echo "$spc $mft" >"$OUT/mft.geometry"
  # Copies in runs of four, every second run naming the $MFT's first cluster one further
  # on (one cluster: 8 sectors, four copies): each of those implies the same volume start as
  # the copy four before it.
  local size
  for size in 8 32; do
    perl -e '
      use strict; use warnings;
      open(my $in, "<:raw", $ARGV[0]) or die; read($in, my $r, 1024) == 1024 or die;
      my $a = unpack("v", substr($r, 0x14, 2));
      while ($a + 8 <= 1024 && unpack("V", substr($r, $a, 4)) != 0x80) { $a += unpack("V", substr($r, $a + 4, 4)); }
      die "no \$DATA\n" unless $a + 8 <= 1024 && substr($r, $a + 8, 1) eq "\x01";
      my $runs = $a + unpack("v", substr($r, $a + 0x20, 2));
      my $h = ord(substr($r, $runs, 1));
      my ($lw, $ow) = ($h & 15, $h >> 4);
      my $at = $runs + 1 + $lw;
      my $first = unpack("V", substr($r, $at, $ow) . ("\0" x (4 - $ow)));
      my $b = $r;
      substr($b, $at, $ow) = substr(pack("V", $first + 1), 0, $ow);
      open(my $out, ">:raw", $ARGV[1]) or die; print $out (($r x 4 . $b x 4) x (128 * $ARGV[2])); close($out) or die' \
      "$WORK/record" "$OUT/mft-${size}m.raw" "$size"
  done
}

build_claims() {
  local d=$OUT/claims.raw
  truncate -s 64M "$d"
  run sfdisk -q "$d" <<'EOF'
label: dos
label-id: 0x5c1a5c1a
start=2048, size=32MiB, type=7
start=67584, size=30MiB, type=c
EOF
  truncate -s 32M "$WORK/claim-exfat.vol"
  run mkfs.exfat -L CLAIM "$WORK/claim-exfat.vol"
  place "$d" 2048 "$WORK/claim-exfat.vol"
  # The exFAT boot sector's volume length, and the FAT32 boot sector's sectors per FAT.
  poke "$d" $((2048 * 512 + 0x48)) ff ff ff ff ff ff ff ff
  run mkfs.fat -F 32 -s 1 --invariant -h 67584 -n CLAIMFAT32 --offset=67584 "$d" $((30 * 1024))
  poke "$d" $((67584 * 512 + 36)) $(le $((0x00FFFFFF)) 4)
  printf '1 2048 exFAT\n2 67584 FAT32\n' >"$OUT/claims.parts"
  zero_sector "$d" 0
}

image_script_fresh .qelda-lost-hostile
build_four
build_mft_copies
build_claims
image_script_done
