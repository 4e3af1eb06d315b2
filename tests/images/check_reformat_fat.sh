#!/usr/bin/env bash
# Runs the real `qelda` over a FAT16 volume formatted again with larger clusters (made by
# tests/fat/make_fat_geometry.sh: mkfs.fat -s 8 and mtools, then mkfs.fat -s 16), whose old
# files in nested folders lie where the old geometry puts them, alone (fat16-reformat) and
# with new files and folders written after the format, fewer than the old ones
# (fat16-reformat-new) and more (fat16-reformat-newer), and a FAT32 volume formatted again so
# (fat32-reformat):
#  - recover, quick, advanced, deleted and deep deleted-files scans: no file said recovered
#    holds other bytes than the file of its name as written (old or new);
#  - alone: the quick and (FAT16) the advanced scans save every file written, whole: the
#    folders found agree on the old cluster size and data start, and the files are read
#    with them;
#  - with new files: the quick scan lists the volume as fls does, the quick and the advanced
#    scans (and the resume of the latter) save every new file whole, the deep deleted-files
#    scan the one of the new volume's deleted folder: the new volume's geometry and FAT stay.
#
#   check_reformat_fat.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-fat-geometry.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-fat-geometry
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../fat/make_fat_geometry.sh" "$DISKS" || exit 1
export XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/config

# saved_whole WHAT OUT PATTERN: every written file whose path PATTERN matches was saved whole.
saved_whole() {
  (cd "$WRITTEN" && find . -type f -printf '%P\n') | grep -E "$3" | sort >"$WORK/want"
  sort -u "$2.whole" >"$WORK/got"
  local missing
  missing=$(comm -23 "$WORK/want" "$WORK/got" | paste -sd' ')
  [[ -z $missing ]] || fail "$1: not saved whole: $missing"
}

# The volume's files and folders as fls lists them, as `scan --list` lines: a deleted name's
# first character and folder sizes left out.
fls_listing() {
  awk -F'\t' '$2 !~ /^\$/ && $1 ~ /^[rd]\/[rd] / {
      deleted = $1 ~ /\*/; dir = $1 ~ /^d/; path = $2
      if (deleted) { n = split(path, p, "/"); p[n] = "?" substr(p[n], 2); path = p[1]; for (i = 2; i <= n; ++i) path = path "/" p[i] }
      printf "%s\t%s\t%s\t%s\n", dir ? "d" : "f", deleted ? "D" : "-", dir ? 0 : $7, path }' "$1" | sort -f
}

for name in fat16-reformat fat32-reformat fat16-reformat-new fat16-reformat-newer; do
  DISK=$DISKS/$name.vmdk
  WRITTEN=$DISKS/$name.written
  for kind in quick advanced deleted; do
    recovered_as_written "$name: recover --kind $kind" "$WORK/$kind" recover "$DISK" --source 1 --kind "$kind"
  done
  recovered_as_written "$name: recover --kind deleted --scan-type deep" "$WORK/deep" \
    recover "$DISK" --source 1 --kind deleted --scan-type deep
  case $name in
    fat16-reformat)
      saved_whole "$name: recover --kind quick" "$WORK/quick" .
      saved_whole "$name: recover --kind advanced" "$WORK/advanced" .
      continue ;;
    fat32-reformat)
      saved_whole "$name: recover --kind quick" "$WORK/quick" .
      continue ;;
  esac
  # The files left unread stay so in the scan information.
  rm -f "$WORK/scan"
  if guarded "$WORK/saved" "$WORK/err" "$QELDA" scan "$DISK" --source 1 --kind advanced --save-scan "$WORK/scan"; then
    recovered_as_written "$name: resume of an advanced scan" "$WORK/resume" resume "$WORK/scan" --image "$DISK"
    saved_whole "$name: resume of an advanced scan" "$WORK/resume" '^(new|n1/)'
  else
    guard_passed "$name: scan --kind advanced --save-scan" 1 "$WORK/err"
  fi
  saved_whole "$name: recover --kind quick" "$WORK/quick" '^(new[ -]|n1/)'
  saved_whole "$name: recover --kind advanced" "$WORK/advanced" '^(new|n1/)'
  saved_whole "$name: recover --kind deleted --scan-type deep" "$WORK/deep" '^newdel/'
  CHECKED=$((CHECKED + 1))
  if guarded "$WORK/list" "$WORK/err" "$QELDA" scan "$DISK" --source 1 --kind quick --list; then
    awk -F'\t' -v OFS='\t' '$2 ~ /D/ { n = split($4, p, "/"); p[n] = "?" substr(p[n], 2); $4 = p[1]; for (i = 2; i <= n; ++i) $4 = $4 "/" p[i] } 1' \
      "$WORK/list" | sort -f >"$WORK/list.norm"
    diff -i <(fls_listing "$DISKS/$name.fls") "$WORK/list.norm" >"$WORK/list.diff" ||
      fail "$name: the quick scan lists other than fls: $(head -c 400 "$WORK/list.diff")"
  else
    guard_passed "$name: scan --kind quick --list" 1 "$WORK/err"
  fi
done

echo "check_reformat_fat: $CHECKED checks, $FAILED failed"
((FAILED == 0))
