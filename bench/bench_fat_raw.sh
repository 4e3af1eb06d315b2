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

if [[ $# -lt 1 ]]; then echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
WORK=$(readlink -m "${2:-$BUILD/bench-fat-raw}")
COPIES=${COPIES:-4}
QELDA=$BUILD/qelda
SRC=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/..
[[ -x $QELDA ]] || { echo "missing $QELDA (build first)" >&2; exit 1; }
for tool in mkfs.fat mcopy mdel sfdisk photorec sha256sum; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (packages: dosfstools mtools fdisk testdisk)" >&2; exit 1; }
done
export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1
rm -rf "$WORK"
mkdir -p "$WORK"
CORPUS=$WORK/corpus
bash "$SRC/tests/carve/make_carve_corpus.sh" "$CORPUS"

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

truncate -s $((VOL_MIB + 2))M "$RAW"
printf 'label: dos\nstart=2048, size=%d, type=c\n' $((VOL_MIB * 2048)) | sfdisk -q "$RAW"
dd if="$VOL" of="$RAW" bs=1M seek=1 conv=notrunc,sparse status=none
printf '# Disk DescriptorFile\ncreateType="monolithicFlat"\nRW %d FLAT "disk.raw" 0\n' \
  $(($(stat -c %s "$RAW") / 512)) >"$WORK/disk.vmdk"

now() { date +%s.%N; }
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
