#!/usr/bin/env bash
# The real `qelda recover` over an NTFS volume of 4096-byte clusters filled through ntfs-3g
# and formatted again (tests/ntfs/make_ntfs_reformat_images.sh): the advanced scan and the
# deep deleted-files scan find the old files' records, and
#  - with 8192-byte clusters, no file is [Recovered] with bytes other than those written:
#    the old records are read in their own cluster size, and a file whose clusters the new
#    format has taken is not called whole; most files still come back whole, and so they do
#    from the scan saved with --save-scan and resumed;
#  - with the same cluster size, every file comes back whole.
#
#   check_reformat_ntfs.sh BUILD_DIR IMAGES_DIR   (the disks lie in IMAGES_DIR-ntfs-reformat)
set -euo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
REFORMAT=$IMAGES-ntfs-reformat
bash "$(dirname "$0")/../ntfs/make_ntfs_reformat_images.sh" "$REFORMAT" ||
  { skip_without_images "$REFORMAT could not be made" && exit 0; exit 1; }
export XDG_CONFIG_HOME=$WORK/config
written=$(find "$REFORMAT/files" -type f | wc -l)

# compare TAG MIN: each file the run (output in $WORK/out, files in $WORK/rec) called
# [Recovered] that was written holds the bytes written, and at least MIN of them came back.
compare() {
  local tag=$1 min=$2 path whole=0 before=$FAILED
  while IFS= read -r path; do
    [[ -f $REFORMAT/files/$path ]] || continue
    if cmp -s "$WORK/rec/$path" "$REFORMAT/files/$path"; then whole=$((whole + 1))
    else fail "$tag: $path [Recovered] with bytes other than those written"; fi
  done < <(sed -n 's/^\[Recovered\] //p' "$WORK/out")
  ((whole >= min)) || fail "$tag: only $whole of $written files [Recovered] as written"
  CHECKED=$((CHECKED + 1))
  if ((FAILED == before)); then echo "ok   $tag: $whole of $written files [Recovered] as written, none otherwise"; fi
}

for c in 8192 4096; do
  disk=$REFORMAT/ntfs-reformat-c$c.vmdk
  # Formatted again with larger clusters, the new metadata takes a few old files' clusters.
  min=$written
  ((c == 8192)) && min=$((written * 9 / 10))
  for run in advanced "deleted --scan-type deep"; do
    tag="clusters of $c --kind $run"
    rm -rf "$WORK/rec" "$WORK/saved"
    rc=0
    # shellcheck disable=SC2086  # the scan kind's words are split on purpose
    guarded "$WORK/out" "$WORK/err" "$QELDA" recover "$disk" --source 1 --kind $run --out "$WORK/rec" \
      --save-scan "$WORK/saved" || rc=$?
    guard_passed "$tag" "$rc" "$WORK/err" || continue
    compare "$tag" "$min"
    [[ $run == advanced ]] || continue
    tag="clusters of $c --kind $run resumed"
    rm -rf "$WORK/rec"
    rc=0
    guarded "$WORK/out" "$WORK/err" "$QELDA" resume "$WORK/saved" --image "$disk" --out "$WORK/rec" || rc=$?
    guard_passed "$tag" "$rc" "$WORK/err" || continue
    compare "$tag" "$min"
  done
done

((CHECKED > 0)) || fail "nothing checked"
exit $((FAILED > 0))
