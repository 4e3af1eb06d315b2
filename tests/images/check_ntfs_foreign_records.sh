#!/usr/bin/env bash
# The real `qelda` over NTFS volumes that hold MFT records not of their own
# (tests/ntfs/make_ntfs_reformat_images.sh):
#  - a sound volume holding a live NTFS disk image (of 512- and of 4096-byte clusters): the
#    quick and the advanced scan list what fls lists, never the image's files, and save the
#    volume's own files, the image among them, as written; with the image deleted, its files
#    are not saved [Recovered] as this volume's;
#  - volumes formatted again (8 KiB over 4 KiB, 4 KiB over 16 KiB) and written to, whose
#    $MFT holds records of the earlier format past its data size: the quick scan lists what
#    fls lists, and saves the new files as written; the advanced and the deep deleted-files
#    scans save no file [Recovered] with bytes other than those written.
#
#   check_ntfs_foreign_records.sh BUILD_DIR IMAGES_DIR   (the disks lie in IMAGES_DIR-ntfs-reformat)
set -euo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$IMAGES-ntfs-reformat
bash "$(dirname "$0")/../ntfs/make_ntfs_reformat_images.sh" "$DISKS" ||
  { skip_without_images "$DISKS could not be made" && exit 0; exit 1; }
export XDG_CONFIG_HOME=$WORK/config

# Every file written has a name of its own: the bytes each name was written with.
declare -A WRITTEN
while IFS= read -r path; do WRITTEN[${path##*/}]=$path; done < <(find "$DISKS/files" "$DISKS/after" "$DISKS/inner" "$DISKS/small" -type f)

# files_of LISTING: "D PATH" or "- PATH" for each file a `--list` listing gives, the volume's
# own metadata files left out.
files_of() { awk -F'\t' '$1 == "f" && $4 !~ /(^|\/)\$/ { print ($2 ~ /D/ ? "D " : "- ") $4 }' "$1" | sort; }
# fls_files NAME: the same of what fls listed of disk NAME, its named streams left out.
fls_files() {
  awk -F'\t' '{ split($1, h, " ") } h[1] ~ /r$/ && $2 !~ /(^|\/)\$/ && $2 !~ /:/ { print (h[2] == "*" ? "D " : "- ") $2 }' \
    "$DISKS/$1.fls" | sort
}

# listed NAME KIND: the scan lists the files fls lists, no more and no fewer.
listed() {
  local name=$1 kind=$2
  run_checked "$name --kind $kind --list" "$WORK/list" "$QELDA" scan "$DISKS/$name.vmdk" --source 1 --kind "$kind" --list ||
    return 0
  if diff <(files_of "$WORK/list") <(fls_files "$name") >"$WORK/diff"; then
    echo "ok   $name --kind $kind lists the $(fls_files "$name" | wc -l) files fls lists"
  else
    fail "$name --kind $kind lists other files than fls (< qelda, > fls): $(head -c 400 "$WORK/diff" | tr '\n' ' ')"
  fi
}

# saved NAME KIND MIN [IMAGE]: every file saved [Recovered] holds the bytes written under its
# name (floppy.img: IMAGE), and at least MIN of them came back so. KIND "resumed": the
# advanced scan saved with --save-scan and resumed.
saved() {
  local name=$1 kind=$2 min=$3 image=${4:-} path want whole=0 before=$FAILED
  rm -rf "$WORK/rec" "$WORK/saved"
  if [[ $kind == resumed ]]; then
    run_checked "$name scan --save-scan" "$WORK/out" "$QELDA" scan "$DISKS/$name.vmdk" --source 1 --kind advanced \
      --save-scan "$WORK/saved" || return 0
    run_checked "$name resume" "$WORK/out" "$QELDA" resume "$WORK/saved" --image "$DISKS/$name.vmdk" --out "$WORK/rec" ||
      return 0
  else
    # shellcheck disable=SC2086  # the scan kind's words are split on purpose
    run_checked "$name recover --kind $kind" "$WORK/out" "$QELDA" recover "$DISKS/$name.vmdk" --source 1 --kind $kind \
      --out "$WORK/rec" || return 0
  fi
  while IFS= read -r path; do
    [[ ${path##*/} == \$* ]] && continue
    want=${WRITTEN[${path##*/}]:-}
    [[ ${path##*/} == floppy.img ]] && want=$image
    if [[ -n $want ]] && cmp -s "$WORK/rec/$path" "$want"; then whole=$((whole + 1))
    else fail "$name --kind $kind: $path [Recovered] with bytes other than those written"; fi
  done < <(sed -n 's/^\[Recovered\] //p' "$WORK/out")
  ((whole >= min)) || fail "$name --kind $kind: only $whole files [Recovered] as written, $min expected"
  if ((FAILED == before)); then echo "ok   $name --kind $kind: $whole files [Recovered] as written, none otherwise"; fi
}

for c in 512 4096; do
  name=ntfs-inner-c$c
  # The volume's own live files, the image among them, as before the image was there.
  live=$(fls_files "$name" | grep -c '^- ')
  listed "$name" quick
  listed "$name" advanced
  saved "$name" advanced "$live" "$DISKS/inner-c$c.img"
  saved "$name-deleted" advanced "$live" "$DISKS/inner-c$c.img"
  saved "$name-deleted" resumed "$live" "$DISKS/inner-c$c.img"
done
for name in ntfs-reformat-c8192-new ntfs-reformat-c4096-over16k; do
  new=$(fls_files "$name" | grep -c '^- ')
  listed "$name" quick
  saved "$name" quick "$new"
  # Most of the earlier format's files come back too, beside the new ones.
  saved "$name" advanced $((new + 100))
  saved "$name" "deleted --scan-type deep" $((new + 100))
done

((CHECKED > 0)) || fail "nothing checked"
exit $((FAILED > 0))
