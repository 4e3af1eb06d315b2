#!/usr/bin/env bash
# Makes the hostile disks: small images whose tables or names attack the program's limits,
# each built with the real tools (sfdisk, sgdisk, mkfs.fat + mtools, mkntfs + ntfs-3g) and
# then damaged on purpose with a few bytes, plus The Sleuth Kit's view of the volumes they
# hold. Every image is a raw disk named .vmdk (read as a flat VMDK without descriptor).
#
#   make_hostile_images.sh OUTDIR
#
# Needs root for ntfs-3g (FUSE). Cached (tests/support/image_script.sh): made again from
# scratch only when this script changes.
# OUTDIR/MANIFEST describes every file made.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1

manifest() { printf '%-24s %s\n' "$1" "$2" >>"$OUT/MANIFEST"; }

# poke FILE BYTE_OFFSET HEX...: writes the bytes in place.
poke() {
  local file=$1 offset=$2; shift 2
  printf "$(printf '\\x%s' "$@")" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
# le64 VALUE / le32 VALUE: the hex bytes of VALUE, little-endian, for poke.
le() { local v=$1 n=$2 i; for ((i = 0; i < n; i++)); do printf '%02x ' $(((v >> (8 * i)) & 0xff)); done; }

# A few files with distinct lines, the same on every FAT volume here.
fat_content() {
  local d=$1 tag=$2
  mkdir -p "$d/Docs/Inner"
  printf 'readme of %s\n' "$tag" >"$d/readme.txt"
  seq -f "$tag notes line %06g" 1 2000 >"$d/Docs/notes.txt"
  seq -f "$tag inner line %06g" 1 50 >"$d/Docs/Inner/inner.txt"
  find "$d" -exec touch -h -d '2021-06-15 12:00:00' {} +
}

# fat_volume DISK START SECTORS NAME: FAT16 at START filled with fat_content; TSK's listing
# in oracle/NAME.fls and the files in content/NAME/.
fat_volume() {
  local disk=$1 start=$2 sectors=$3 name=$4 c=$OUT/content/$4 img p
  run mkfs.fat -F 16 -s 2 --invariant -h "$start" -g 64/32 -n HOSTILE --offset="$start" "$disk" $((sectors / 2))
  fat_content "$c" "$name"
  img="$disk@@$((start * 512))"
  while IFS= read -r p; do run mmd -i "$img" "::/$p"; done < <(cd "$c" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort)
  while IFS= read -r p; do run mcopy -m -i "$img" "$c/$p" "::/$p"; done < <(cd "$c" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  fls -f fat -r -p -o "$start" "$disk" >"$OUT/oracle/$name.fls"
}

# ---------------------------------------------------------------- partition sizes
# An MBR entry claiming 2 TiB for a 15 MiB FAT16 on a 32 MiB disk, and an entry starting
# past the end of the disk.
build_huge_mbr() {
  local d=$OUT/huge-mbr.vmdk
  truncate -s 32M "$d"
  printf 'label: dos\nlabel-id: 0x51e1da10\nsize=30720, type=6\n' | run sfdisk -q "$d"
  fat_volume "$d" 2048 30720 huge-mbr
  # deep.txt under 30 levels of 200-character names: 6,039 bytes of path, more than a
  # Linux path may hold (not in content/: no local file has such a path).
  local p='' i
  for ((i = 0; i < 30; i++)); do p+=/$(printf 'level%02d-%0192d' "$i" 0); run mmd -i "$d@@$((2048 * 512))" "::$p"; done
  printf 'deep\n' >"$WORK/deep.txt"
  run mcopy -i "$d@@$((2048 * 512))" "$WORK/deep.txt" "::$p/deep.txt"
  poke "$d" $((446 + 12)) ff ff ff ff
  poke "$d" $((462 + 4)) 0c
  poke "$d" $((462 + 8)) $(le $((0xFFFFFF00)) 4)
  poke "$d" $((462 + 12)) $(le 256 4)
  manifest huge-mbr.vmdk "32 MiB MBR disk: p1 FAT16 of 30720 sectors at 2048 whose entry claims 4294967295 sectors, deep.txt under 30 folders of 200-character names; p2 (0c) starts at sector 4294967040"
}

# A GPT basic data entry whose last LBA is 2^40, around a 15 MiB FAT16.
build_huge_gpt() {
  local d=$OUT/huge-gpt.vmdk
  truncate -s 32M "$d"
  run sgdisk -o -U 5E1DA000-0000-4000-8000-000000000010 -n 1:2048:+15M -t 1:0700 -c 1:"Basic data partition" \
    -u 1:5E1DA000-0000-4000-8000-000000000011 "$d"
  fat_volume "$d" 2048 30720 huge-gpt
  # Entry 1 of the array at LBA 2 and of the backup array at LBA 65503: its last LBA (the
  # CRCs are left as they were, so that neither table is sound and the primary stands).
  poke "$d" $((2 * 512 + 0x28)) $(le $((1 << 40)) 8)
  poke "$d" $((65503 * 512 + 0x28)) $(le $((1 << 40)) 8)
  manifest huge-gpt.vmdk "32 MiB GPT disk: entry 1 (basic data) from 2048 to LBA 2^40 around a 30720-sector FAT16"
}

# ---------------------------------------------------------------- dynamic disks
# ldm_disk FILE RECORDS...: an MBR dynamic disk of 32 MiB (0x42 at 63, logical disk start 63,
# the database in the last 2048 sectors, header at sector 6) whose VBLK stream is the
# records given, each as "type field..." (see vblk below).
DISK_GUID=5e1da000-0000-4000-8000-0000000000aa
ldm_disk() {
  local d=$1; shift
  truncate -s 32M "$d"
  perl -e '
    use strict; use warnings;
    my ($file, $guid, @records) = @ARGV;
    my $sectors = 65536; my $config = $sectors - 2048;
    open(my $fh, "+<:raw", $file) or die "$file: $!";
    sub put { my ($s, $bytes) = @_; seek($fh, $s * 512, 0); print $fh $bytes; }
    my $mbr = "\0" x 512;
    substr($mbr, 446 + 4, 1) = chr(0x42);
    substr($mbr, 446 + 8, 4) = pack("V", 63);
    substr($mbr, 446 + 12, 4) = pack("V", $sectors - 63);
    substr($mbr, 510, 2) = "\x55\xAA";
    put(0, $mbr);
    my $priv = "\0" x 512;
    substr($priv, 0, 8) = "PRIVHEAD";
    substr($priv, 0x30, length $guid) = $guid;
    substr($priv, 0x11B, 8) = pack("Q>", 63);
    substr($priv, 0x12B, 8) = pack("Q>", $config);
    substr($priv, 0x133, 8) = pack("Q>", 2048);
    put(6, $priv);
    put($config + 17, "VMDB" . ("\0" x 508));
    # Fields: n:NUMBER (a variable-length big-endian number), t:TEXT, z:COUNT zero bytes,
    # b:NUMBER (8 bytes big-endian), k:BYTE.
    my $stream = "";
    for my $r (@records) {
      my ($type, @fields) = split / /, $r;
      my $body = "";
      for my $f (@fields) {
        my ($k, $v) = split /:/, $f, 2;
        if ($k eq "n") { my $b = pack("Q>", $v); $b =~ s/^\0+(?=.)//s; $body .= chr(length $b) . $b; }
        elsif ($k eq "t") { $body .= chr(length $v) . $v; }
        elsif ($k eq "z") { $body .= "\0" x $v; }
        elsif ($k eq "b") { $body .= pack("Q>", $v); }
        elsif ($k eq "k") { $body .= chr($v); }
      }
      my $rec = "VBLK" . ("\0" x 8) . pack("n", 0) . pack("n", 1) . ("\0" x 3) . chr(hex $type) . ("\0" x 4) . $body;
      $rec = substr($rec . ("\0" x 128), 0, 128);
      $stream .= $rec;
    }
    put($config + 18, $stream);
    close($fh) or die;
  ' "$d" "$DISK_GUID" "$@"
}
# VBLK records as ldm_disk takes them.
volume_rec() { echo "51 n:$1 t:Volume$1 t:gen z:20"; }
component_rec() { echo "32 n:$1 t:Volume-01 t:ACTIVE k:2 z:4 n:1 z:16 n:$2"; }
partition_rec() { echo "33 n:$1 t:Disk1-01 z:12 b:$3 b:0 n:$4 n:$2 n:$5"; }
disk_rec() { echo "34 n:$1 t:Disk1 t:$DISK_GUID"; }

# One simple volume (a FAT16 of 16384 sectors at sector 2048) whose component, partition and
# disk records are each repeated 1000 times: joined blindly, 10^9 pieces.
build_ldm_repeated() {
  local d=$OUT/ldm-repeated.vmdk records=() i
  records+=("$(volume_rec 1)")
  for ((i = 0; i < 1000; i++)); do
    records+=("$(component_rec 2 1)" "$(partition_rec 3 2 1985 16384 4)" "$(disk_rec 4)")
  done
  ldm_disk "$d" "${records[@]}"
  fat_volume "$d" 2048 16384 ldm-repeated
  manifest ldm-repeated.vmdk "32 MiB MBR dynamic disk: one simple volume (FAT16, 16384 sectors at 2048) whose component, partition and disk records are repeated 1000 times"
}

# One simple volume made of 300 partition records with distinct ids, all at the volume's
# start, each claiming 2^62 sectors: their sum passes 2^64.
build_ldm_huge() {
  local d=$OUT/ldm-huge.vmdk records=() i
  records+=("$(volume_rec 1)" "$(component_rec 2 1)" "$(disk_rec 4)")
  for ((i = 0; i < 300; i++)); do records+=("$(partition_rec $((1000 + i)) 2 1985 $((1 << 62)) 4)"); done
  ldm_disk "$d" "${records[@]}"
  fat_volume "$d" 2048 16384 ldm-huge
  manifest ldm-huge.vmdk "32 MiB MBR dynamic disk: one simple volume (FAT16 at 2048) of 300 partition records with distinct ids, each claiming 2^62 sectors"
}

# ---------------------------------------------------------------- one name, many files
# A folder holding 8000 files that all bear the short name SAME.TXT (made as D0000.TXT ...
# D7999.TXT by mtools, then renamed in their directory entries), each holding "dup N".
build_dup_names() {
  local d=$OUT/dup-names.vmdk img src=$WORK/dups i
  truncate -s 32M "$d"
  printf 'label: dos\nlabel-id: 0x51e1da12\nsize=63488, type=6\n' | run sfdisk -q "$d"
  run mkfs.fat -F 16 -s 2 --invariant -h 2048 -g 64/32 -n DUPS --offset=2048 "$d" $((63488 / 2))
  mkdir -p "$src"
  for ((i = 0; i < 8000; i++)); do printf -v n 'D%04d.TXT' "$i"; printf 'dup %d\n' "$i" >"$src/$n"; done
  img="$d@@$((2048 * 512))"
  run mmd -i "$img" ::/DUPS
  run mcopy -i "$img" "$src"/* ::/DUPS/
  perl -e '
    open(my $fh, "+<:raw", $ARGV[0]) or die; local $/; my $all = <$fh>; my $n = 0;
    for (my $at = 0; $at + 32 <= length $all; $at += 32) {
      next unless substr($all, $at, 11) =~ /^D\d{4}   TXT$/;
      substr($all, $at, 11) = "SAME    TXT"; $n++;
    }
    die "renamed $n entries, not 8000\n" unless $n == 8000;
    seek($fh, 0, 0); print $fh $all; close($fh) or die;
  ' "$d"
  manifest dup-names.vmdk "32 MiB MBR disk: p1 FAT16 whose folder DUPS holds 8000 files all named SAME.TXT (file N holds 'dup N')"
}

# ---------------------------------------------------------------- names
# Names an NTFS volume takes and a terminal or a line-based reader must not: control
# characters, backslashes, a name that looks like a second listing line, C1 controls.
NAMES=(
  $'tab\there.txt'
  $'new\nline.txt'
  'back\slash.txt'
  $'esc\e[31mred.txt'
  $'cr\rreturn.txt'
  $'del\x7fete.txt'
  $'c1\xc2\x9b2J.txt'
  $'forged\nf\t-\t0\tpasswd'
)
build_names() {
  local d=$OUT/names-ntfs.vmdk vol=$WORK/names.ntfs m=$MNT i
  truncate -s 32M "$d"
  printf 'label: dos\nlabel-id: 0x51e1da11\nsize=30720, type=7\n' | run sfdisk -q "$d"
  truncate -s $((30720 * 512)) "$vol"
  run mkntfs -F -Q -p 2048 -H 255 -S 63 -L Names "$vol"
  mount_ntfs "$vol"
  for i in "${!NAMES[@]}"; do printf 'name %d\n' "$i" >"$m/${NAMES[$i]}"; done
  mkdir "$m/"$'folder\twith\ttabs'
  printf 'inner\n' >"$m/"$'folder\twith\ttabs/inner\nfile.txt'
  release_volume
  dd if="$vol" of="$d" bs=512 seek=2048 conv=notrunc,sparse status=none
  fls -f ntfs -r -p -o 2048 "$d" >"$OUT/oracle/names-ntfs.fls"
  manifest names-ntfs.vmdk "32 MiB MBR disk: p1 NTFS whose file names hold tabs, line feeds, backslashes, ESC, CR, DEL and C1 controls"
}

# ---------------------------------------------------------------- main
image_script_fresh .qelda-hostile
mkdir -p "$OUT/oracle" "$OUT/content"
echo "# Made by tests/images/make_hostile_images.sh: raw disks named .vmdk." >"$OUT/MANIFEST"
build_huge_mbr
build_huge_gpt
build_ldm_repeated
build_ldm_huge
build_dup_names
build_names
manifest oracle/ "fls -r -p of every volume (NAME.fls)"
manifest content/ "the files written into each FAT volume"
image_script_done
