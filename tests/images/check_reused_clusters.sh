#!/usr/bin/env bash
# Runs the real `qelda` over volumes whose deleted files' clusters were given to files
# written after them (made by tests/images/make_reused_clusters.sh: NTFS by ntfs-3g, FAT16
# and FAT32 by mtools, exFAT by exfat-fuse) and over a disk partitioned and formatted again
# over older volumes:
#  - the quick (NTFS), deleted, deep deleted-files and advanced scans, and the resume of a
#    deleted-files scan: no file said recovered holds other bytes than the file of its name
#    as written;
#  - the deleted files whose clusters are all still free (k*.bin) are still saved whole;
#  - the volumes `lost` finds on the partitioned disk save no file said recovered whose
#    bytes differ from the file written (every scan kind, and a resume), and
#    still save whole the old files the new volumes left alone.
#
#   check_reused_clusters.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-reused.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
# shellcheck source=../support/written_files.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/written_files.sh"
check_script_start "$@"
DISKS=$BUILD/images-reused
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_reused_clusters.sh" "$DISKS" || exit 1
export XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/config

# kept_whole WHAT OUT: every k*.bin written (deleted last, its clusters free) was saved whole.
kept_whole() {
  local missing
  missing=$(comm -23 <(cd "$WRITTEN" && ls k*.bin 2>/dev/null | sort) <(sort -u "$2.whole") | paste -sd' ')
  [[ -z $missing ]] || fail "$1: deleted files whose clusters are free not saved whole: $missing"
}

for name in ntfs-reused fat16-reused fat32-reused exfat-reused fat16-xyz; do
  DISK=$DISKS/$name.vmdk
  WRITTEN=$DISKS/$name.written
  kinds=(deleted advanced)
  [[ $name == ntfs-* ]] && kinds+=(quick)
  for kind in "${kinds[@]}"; do
    recovered "$name: recover --kind $kind" "$WORK/$kind" recover "$DISK" --source 1 --kind "$kind"
  done
  recovered "$name: recover --kind deleted --scan-type deep" "$WORK/deep" \
    recover "$DISK" --source 1 --kind deleted --scan-type deep
  rm -f "$WORK/scan"
  CHECKED=$((CHECKED + 1))
  if guarded "$WORK/saved" "$WORK/err" "$QELDA" scan "$DISK" --source 1 --kind deleted --save-scan "$WORK/scan"; then
    recovered "$name: resume of a deleted-files scan" "$WORK/resume" resume "$WORK/scan" --image "$DISK"
  else
    guard_passed "$name: scan --kind deleted --save-scan" 1 "$WORK/err"
  fi
  [[ $name == fat16-xyz ]] && continue
  kept_whole "$name: recover --kind deleted" "$WORK/deleted"
  kept_whole "$name: resume of a deleted-files scan" "$WORK/resume"
done

# The disk partitioned again: every old volume the deep search finds (not the ones the
# partition table lists), read by every scan kind and resumed. The new volumes wrote their
# records and folders inside the old ones' live files too: not the old volumes' own.
DISK=$DISKS/lost-reused.vmdk
WRITTEN=$DISKS/lost-reused.written
if run_checked "lost-reused: lost --deep" "$WORK/lost" "$QELDA" lost "$DISK" --deep; then
  old=$(awk -F'\t' '$2 != 0 && $2 != 1 && ($5 == 2048 || $5 == 63488 || $5 == 133120) { print $1 }' "$WORK/lost")
  [[ $(wc -w <<<"$old") == 3 ]] || fail "lost-reused: lost --deep does not find the three old volumes: $(cat "$WORK/lost")"
  for n in $old; do
    for kind in quick deleted advanced "deleted --scan-type deep"; do
      # shellcheck disable=SC2086  # the scan type is a word of its own
      recovered "lost-reused: recover --lost --deep --source $n --kind $kind" "$WORK/lost$n${kind// /}" \
        recover "$DISK" --lost --deep --source "$n" --kind $kind
    done
    rm -f "$WORK/scan"
    CHECKED=$((CHECKED + 1))
    if guarded "$WORK/saved" "$WORK/err" "$QELDA" scan "$DISK" --lost --deep --source "$n" --save-scan "$WORK/scan"; then
      recovered "lost-reused: resume of source $n" "$WORK/resume$n" resume "$WORK/scan" --image "$DISK"
    else
      guard_passed "lost-reused: scan --lost --deep --source $n --save-scan" 1 "$WORK/err"
    fi
    # The old files the new volumes left alone are still whole.
    grep -q '^o' "$WORK/lost${n}quick.whole" || fail "lost-reused: source $n: no old file saved whole"
  done
fi

echo "check_reused_clusters: $CHECKED checks, $FAILED failed"
((FAILED == 0))
