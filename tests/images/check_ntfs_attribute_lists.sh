#!/usr/bin/env bash
# The real `qelda` over an NTFS volume whose files keep their names and last runs in extension
# records named by their attribute lists, two of them deleted (tests/ntfs/make_ntfs_listed_images.sh):
# each scan kind (the quick scan, --kind deleted, the deep deleted-files scan, --kind advanced)
# lists every file it should by its path, deleted or not, with the size written, and `recover`
# (and the advanced scan's resume) saves each [Recovered] with the bytes written. The Sleuth Kit names the deleted two only by
# their records, and icat reads them as far as their lists, cut at the deletion, still go:
# its bytes are held to be the start of what was written.
#
#   check_ntfs_attribute_lists.sh BUILD_DIR IMAGES_DIR   (the disk lies in IMAGES_DIR-ntfs-listed)
set -euo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
LISTED=$IMAGES-ntfs-listed
bash "$(dirname "$0")/../ntfs/make_ntfs_listed_images.sh" "$LISTED" ||
  { skip_without_images "$LISTED could not be made" && exit 0; exit 1; }
export XDG_CONFIG_HOME=$WORK/config
disk=$LISTED/ntfs-listed.vmdk
mapfile -t written < <(cd "$LISTED/files" && find . -type f -printf '%P\n' | sort)
is_deleted() { grep -qxF "$1" "$LISTED/deleted"; }

# What The Sleuth Kit reads of the deleted files is where what was written begins.
for n in "$LISTED"/ntfs-listed.icat/*; do
  size=$(awk -F'\t' -v n="$(basename "$n")" '$1 ~ "^-/r \\* " n "-" { print $(NF - 2) }' "$LISTED/ntfs-listed.fls")
  path=$(cd "$LISTED/files" && find . -type f -size "${size}c" -printf '%P\n' | head -n 1)
  if [[ -z $path ]] || ! cmp -s -n "$(stat -c %s "$n")" "$n" "$LISTED/files/$path"; then
    fail "icat of record $(basename "$n") is not the start of a file written"
  fi
done

# compare TAG KIND: the listing in $WORK/list and the recover run's output in $WORK/out (files
# in $WORK/rec) hold every file KIND finds, each as written.
compare() {
  local tag=$1 kind=$2 path flag line before=$FAILED
  for path in "${written[@]}"; do
    flag=-
    if is_deleted "$path"; then flag=D; elif [[ $kind == deleted ]]; then continue; fi
    line=$(printf 'f\t%s\t%s\t%s' "$flag" "$(stat -c %s "$LISTED/files/$path")" "$path")
    grep -qxF "$line" "$WORK/list" || fail "$tag: not listed as '$line'"
    grep -qxF "[Recovered] $path" "$WORK/out" || fail "$tag: $path not [Recovered]"
    cmp -s "$WORK/rec/$path" "$LISTED/files/$path" || fail "$tag: $path saved with bytes other than those written"
  done
  if ((FAILED == before)); then echo "ok   $tag: every file listed and saved as written"; fi
}

for kind in quick deleted "deleted --scan-type deep" advanced; do
  tag="--kind $kind"
  rm -f "$WORK/saved"
  # shellcheck disable=SC2086  # the scan kind's words are split on purpose
  run_checked "$tag --list" "$WORK/list" "$QELDA" scan "$disk" --source 1 --kind $kind --list \
    --save-scan "$WORK/saved" || continue
  rm -rf "$WORK/rec"
  # shellcheck disable=SC2086
  run_checked "$tag recover" "$WORK/out" "$QELDA" recover "$disk" --source 1 --kind $kind --out "$WORK/rec" || continue
  compare "$tag" "$kind"
  [[ $kind == advanced ]] || continue
  rm -rf "$WORK/rec"
  run_checked "$tag resumed" "$WORK/list" "$QELDA" resume "$WORK/saved" --image "$disk" --list &&
    run_checked "$tag resumed" "$WORK/out" "$QELDA" resume "$WORK/saved" --image "$disk" --out "$WORK/rec" &&
    compare "$tag resumed" "$kind"
done

((CHECKED > 0)) || fail "nothing checked"
exit $((FAILED > 0))
