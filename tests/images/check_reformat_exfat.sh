#!/usr/bin/env bash
# An exFAT volume of 4 KiB clusters holding files in nested folders, formatted again with
# 16 KiB clusters and then given files of its own (exfat-reformat of make_exfat_images.sh,
# made through exfat-fuse), as partition 1 of an MBR disk. The advanced scan and the deep
# deleted-files scan, and the advanced scan's scan information resumed:
#  - save no file as [Recovered] whose bytes differ from the file of that name as written
#    (every name is used once, old files and new);
#  - still list old files; the advanced scan saves the new volume's files as [Recovered]
#    (the deleted-files scan lists none of them: they are not deleted).
#
#   check_reformat_exfat.sh BUILD_DIR IMAGES_DIR      (the volume lies in IMAGES_DIR-exfat)
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
VOLUMES=$IMAGES-exfat
WRITTEN=$VOLUMES/reformat
export XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/config LC_ALL=C.UTF-8
[[ -f $VOLUMES/exfat-reformat.img ]] || { skip_without_images "$VOLUMES/exfat-reformat.img: missing" || exit 1; exit 0; }

# The volume as partition 1 of a raw MBR disk (read as a flat VMDK).
DISK=$WORK/reformat.vmdk
sectors=$(($(stat -c %s "$VOLUMES/exfat-reformat.img") / 512))
truncate -s $(((sectors + 4096) * 512)) "$DISK"
printf 'label: dos\nstart=2048, size=%d, type=7\n' "$sectors" | sfdisk -q "$DISK" >/dev/null 2>&1
dd if="$VOLUMES/exfat-reformat.img" of="$DISK" bs=1M seek=1 conv=notrunc,sparse status=none

# check_saved WHAT OUT NEW: every [Recovered] file under OUT equals the one of its name as
# written; NEW of them are the new volume's files.
check_saved() {
  local what=$1 out=$2 new=$3 path written later=0
  while IFS= read -r path; do
    written=$(find "$WRITTEN" -type f -name "$(basename "$path")" | head -1)
    if [[ -z $written ]]; then
      fail "$what: [Recovered] $path: no file of that name was written"
    elif ! cmp -s "$out/$path" "$written"; then
      fail "$what: [Recovered] $path differs from the file written"
    fi
    [[ $written == "$WRITTEN"/new/* ]] && later=$((later + 1))
  done < <(sed -n 's/^\[Recovered\] //p' "$out.log")
  ((later == new)) || fail "$what: $later files written after the format [Recovered], not $new"
  # The old files are found all the same, whatever becomes of their data.
  grep -qE '(Projects|Photos|Notes)-[a-z0-9-]*[0-9]\.txt$' "$out.log" || fail "$what: no old file found"
}

run_checked "advanced" "$WORK/adv.log" "$QELDA" recover "$DISK" --source 1 --kind advanced --out "$WORK/adv" &&
  check_saved "recover --kind advanced" "$WORK/adv" 2
run_checked "deep deleted" "$WORK/deep.log" "$QELDA" recover "$DISK" --source 1 --kind deleted --scan-type deep \
  --out "$WORK/deep" && check_saved "recover --kind deleted --scan-type deep" "$WORK/deep" 0
CHECKED=$((CHECKED + 1))
guarded "$WORK/scan.out" "$WORK/err" "$QELDA" scan "$DISK" --source 1 --kind advanced --save-scan "$WORK/adv.qsi"
guard_passed "advanced --save-scan" $? "$WORK/err" &&
  run_checked "resume" "$WORK/resumed.log" "$QELDA" resume "$WORK/adv.qsi" --image "$DISK" --out "$WORK/resumed" &&
  check_saved "resume of the advanced scan" "$WORK/resumed" 2

echo "check_reformat_exfat: $CHECKED checks, $FAILED failed"
((FAILED == 0))
