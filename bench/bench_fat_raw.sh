#!/usr/bin/env bash
# Raw search of a FAT32 volume whose media files were deleted, against PhotoRec's search of the
# same volume's free space, in the same run: how many of the deleted files each gives back
# byte for byte, and how long each takes.
#
#   bench_fat_raw.sh BUILD_DIR [WORK_DIR]
#
# The files are the carving corpus (tests/carve/make_carve_corpus.sh: pictures by Pillow and
# ImageMagick, archives and documents by zip, pages), COPIES copies of each (default 4), written
# with mtools into a 300 MiB FAT32 volume (4 KiB clusters) between files that stay, then
# deleted with mdel. The volume is partition 1 of a raw disk described by a flat VMDK, for
#   qelda recover disk.vmdk --source 1 --kind raw --types LIST --out OUT
# and PhotoRec reads the volume itself:
#   photorec /log /d OUT /cmd volume.img partition_none,freespace,search
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
bench_start bench-fat-raw "$@"
COPIES=${COPIES:-4}
need_build qelda
need_tools "dosfstools mtools fdisk testdisk" mkfs.fat mcopy mdel sfdisk photorec sha256sum
export MTOOLS_SKIP_CHECK=1
rm -rf "$WORK"
mkdir -p "$WORK"
CORPUS=$WORK/corpus
bash "$BENCH/../tests/carve/make_carve_corpus.sh" "$CORPUS"

VOL=$WORK/volume.img
RAW=$WORK/disk.raw
VOL_MIB=300
truncate -s ${VOL_MIB}M "$VOL"
mkfs.fat -F 32 -s 8 "$VOL" >/dev/null
mmd -i "$VOL" ::/keep ::/media
n=0
: >"$WORK/originals"
for copy in $(seq 1 "$COPIES"); do
  while IFS=$'\t' read -r name _ _; do
    n=$((n + 1))
    head -c $((3000 + n * 997)) /dev/urandom >"$WORK/filler"
    mcopy -i "$VOL" "$WORK/filler" "::/keep/filler$n.bin"
    mcopy -i "$VOL" "$CORPUS/$name" "::/media/$copy-$name"
    sha256sum <"$CORPUS/$name" | cut -d' ' -f1 >>"$WORK/originals"
  done <"$CORPUS/manifest"
done
mdel -i "$VOL" "::/media/*"
types=$(cut -f1 "$CORPUS/manifest" | sed 's/.*\.//' | sort -u | paste -sd, -)

mbr_disk "$RAW" c $((VOL_MIB * 2048)) "$VOL"
flat_vmdk "$WORK/disk.vmdk" "$RAW"

# How many originals a folder of recovered files gives back byte for byte (each at most once).
exact() {
  find "$1" -type f -exec sha256sum {} + | cut -d' ' -f1 | sort >"$WORK/got"
  sort "$WORK/originals" >"$WORK/want"
  comm -12 "$WORK/want" "$WORK/got" | wc -l
}

t0=$(now)
"$QELDA" recover "$WORK/disk.vmdk" --source 1 --kind raw --types "$types" --out "$WORK/qelda.out" >"$WORK/qelda.log" 2>&1
t1=$(now)
mkdir -p "$WORK/photorec.out"
(cd "$WORK" && photorec /log /d "$WORK/photorec.out/recup" /cmd "$VOL" \
  partition_none,freespace,search >/dev/null 2>&1)
t2=$(now)

total=$(wc -l <"$WORK/originals")
printf '%d deleted files (%d of each corpus file, types %s)\n' "$total" "$COPIES" "$types"
printf '%-44s %8s %8s\n' "" "exact" seconds
printf '%-44s %8d %8.2f\n' "qelda recover --kind raw" "$(exact "$WORK/qelda.out")" "$(awk -v a="$t0" -v b="$t1" 'BEGIN{print b-a}')"
printf '%-44s %8d %8.2f\n' "photorec freespace search" "$(exact "$WORK/photorec.out")" "$(awk -v a="$t1" -v b="$t2" 'BEGIN{print b-a}')"
