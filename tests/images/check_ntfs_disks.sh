#!/usr/bin/env bash
# The rich NTFS volume (compressed, sparse, hard-linked, many-block index, attribute list,
# Unicode names) inside MBR and GPT disks of every image format:
#  - qelda info lists it as the disk's one NTFS volume at sector 2048;
#  - qelda scan --list gives what fls lists of the volume (live user items, paths and sizes);
#  - qelda recover gives every file as icat gives it, byte for byte.
#
#   check_ntfs_disks.sh BUILD_DIR IMAGES_DIR     (the NTFS images lie in IMAGES_DIR-ntfs)
set -euo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
NTFS=$IMAGES-ntfs
bash "$(dirname "$0")/../ntfs/make_ntfs_images.sh" "$NTFS"   # cached; normally made by the fixture

VOLUME=$NTFS/ntfs-4096.img
FLS=$NTFS/ntfs-4096.fls
# fls's view: "d path" or "f path size" for live user items; named streams are not items.
awk -F'\t' 'NF >= 7 && $2 !~ /^\$/ && $2 !~ /:/ {
  if ($1 ~ /^d\/d/) print "d " $2; else print "f " $2 " " $7 }' "$FLS" | LC_ALL=C sort >"$WORK/want"

for image in ntfs-disk-mbr.vmdk ntfs-disk-mbr.vdi ntfs-disk-gpt.vhd ntfs-disk-gpt.vmdk; do
  path=$NTFS/$image
  before=$FAILED
  [[ -f $path ]] || { fail "$image: missing"; continue; }
  "$QELDA" info "$path" >"$WORK/info" 2>&1 || { fail "$image: info failed"; continue; }
  mapfile -t volumes < <(awk -F'\t' '$1 ~ /^[0-9]+$/ && $4 == "NTFS" { print $1 " " $5 }' "$WORK/info")
  if [[ ${#volumes[@]} -ne 1 || ${volumes[0]#* } != 2048 ]]; then
    fail "$image: expected one NTFS volume at 2048, got: ${volumes[*]:-none}"
    continue
  fi
  index=${volumes[0]%% *}

  "$QELDA" scan "$path" --source "$index" --list >"$WORK/list" 2>"$WORK/err" ||
    { fail "$image: scan failed: $(head -c 300 "$WORK/err")"; continue; }
  awk -F'\t' '$4 !~ /^\$/ { if ($1 == "d") print "d " $4; else print "f " $4 " " $3 }' "$WORK/list" |
    LC_ALL=C sort >"$WORK/got"
  diff "$WORK/want" "$WORK/got" >"$WORK/diff" || fail "$image: listing differs from fls:
$(head -20 "$WORK/diff")"

  rm -rf "$WORK/rec"
  "$QELDA" recover "$path" --source "$index" --out "$WORK/rec" >"$WORK/rec.out" 2>"$WORK/err" ||
    { fail "$image: recover failed: $(head -c 300 "$WORK/err")"; continue; }
  grep -v '^\[Recovered\]' "$WORK/rec.out" | grep -q '^\[' && fail "$image: not every file recovered:
$(grep -v '^\[Recovered\]' "$WORK/rec.out" | grep '^\[' | head -5)"

  # Every file outside the many-files folder against icat; those 3000 by count and size.
  n=0
  while IFS=$'\t' read -r inode file; do
    n=$((n + 1))
    icat "$VOLUME" "$inode" >"$WORK/icat"
    cmp -s "$WORK/icat" "$WORK/rec/$file" || fail "$image: $file differs from icat $inode"
  done < <(awk -F'\t' 'NF >= 7 && $1 ~ /^r\/r/ && $2 !~ /^\$/ && $2 !~ /:/ && $2 !~ /^many\// {
             split($1, a, " "); sub(/:$/, "", a[2]); print a[2] "\t" $2 }' "$FLS")
  ((n >= 19)) || fail "$image: only $n files compared with icat"
  many=$(find "$WORK/rec/many" -type f | wc -l)
  ((many == 3000)) || fail "$image: many/ holds $many files, not 3000"
  CHECKED=$((CHECKED + 1))
  ((FAILED == before)) && echo "ok   $image: listing equals fls; $n files equal icat; many/ has $many files"
done

echo "$CHECKED images checked, $FAILED failures"
((FAILED == 0 && CHECKED == 4))
