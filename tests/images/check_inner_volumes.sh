#!/usr/bin/env bash
# Runs the real `qelda` over volumes that hold another volume's structures in their clusters
# (made by tests/images/make_inner_volumes.sh): the folders of a FAT12 image kept on a FAT32
# volume, as a live file and as a deleted one, and an exFAT made inside an older one's sectors
# when the disk was partitioned again.
#  - FAT32: the advanced scan lists the volume as fls does (the image's own folders, which
#    fls reads only as orphans, aside), and saves every file written whole, the image too;
#    the deep deleted-files scan saves every deleted one whole;
#  - exFAT: the lost-volume search finds the old volume, whose advanced scan saves every file
#    of its own whole, and neither it nor the deep deleted-files scan any of the newer
#    volume's as recovered with other bytes;
#  - nowhere a file said recovered whose bytes differ from the file written.
#
#   check_inner_volumes.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-inner-volumes.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
# shellcheck source=../support/written_files.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/written_files.sh"
DISKS=$BUILD/images-inner-volumes
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_inner_volumes.sh" "$DISKS" || exit 1
export XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/config

for name in fat32-image-live fat32-image-gone fat32-image-tree-gone; do
  DISK=$DISKS/$name.vmdk
  WRITTEN=$DISKS/$name.written
  if run_checked "$name: scan --kind advanced --list" "$WORK/list" "$QELDA" scan "$DISK" --source 1 --kind advanced --list; then
    diff -i <(fls_listing "$DISKS/$name.fls") <(scan_listing "$WORK/list") >"$WORK/list.diff" ||
      fail "$name: the advanced scan lists other than fls: $(head -c 400 "$WORK/list.diff")"
  fi
  recovered "$name: recover --kind advanced" "$WORK/advanced" recover "$DISK" --source 1 --kind advanced
  saved_whole "$name: recover --kind advanced" "$WORK/advanced" .
  recovered "$name: recover --kind deleted --scan-type deep" "$WORK/deep" \
    recover "$DISK" --source 1 --kind deleted --scan-type deep
  deleted=.
  [[ $name != fat32-image-live ]] || deleted='^gone'
  saved_whole "$name: recover --kind deleted --scan-type deep" "$WORK/deep" "$deleted"
done

DISK=$DISKS/exfat-newer.vmdk
WRITTEN=$DISKS/exfat-newer.written
if run_checked "exfat-newer: lost" "$WORK/lost" "$QELDA" lost "$DISK"; then
  source=$(awk -F'\t' '$4 == "exFAT" && $5 == 2048 { print $1; exit }' "$WORK/lost")
  if [[ -z $source ]]; then
    fail "exfat-newer: the lost-volume search does not find the old volume at sector 2048"
  else
    recovered "exfat-newer: recover --lost --kind advanced" "$WORK/old" recover "$DISK" --lost --source "$source" \
      --kind advanced
    saved_whole "exfat-newer: recover --lost --kind advanced" "$WORK/old" '^(Old/|rootfile)'
    recovered "exfat-newer: recover --lost --kind deleted --scan-type deep" "$WORK/olddeep" \
      recover "$DISK" --lost --source "$source" --kind deleted --scan-type deep
  fi
fi

echo "check_inner_volumes: $CHECKED checks, $FAILED failed"
((FAILED == 0))
