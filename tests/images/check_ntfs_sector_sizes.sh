#!/usr/bin/env bash
# The real `qelda` over NTFS volumes of 1024-, 2048- and 4096-byte sectors (tests/ntfs/
# make_ntfs_sector_images.sh), whose boot sectors count clusters and place $MFT in sectors
# of that size while the disk is read in 512-byte ones, and whose MFT records are 1024,
# 2048 and 4096 bytes (as large as a sector, beyond 1024):
#  - the quick and advanced scans list every file fls lists live and save it as icat reads
#    it; the deleted-files scan (quick and deep) finds both deleted files; a scan saved with
#    --save-scan and resumed saves the same bytes; the lost-volume search finds the volume on
#    a copy of the disk without its partition table, at its full size, and its files read
#    whole, also without its backup boot sector (the search tests $MFT's first record), and
#    with neither boot sector (the deep search rebuilds the volume from $MFT); so they do
#    with the boot sector zeroed (its backup gives the sizes), and in the advanced scan
#    without either boot sector (each record's own header gives its size);
#  - never a file [Recovered] whose bytes differ from icat's.
#
#   check_ntfs_sector_sizes.sh BUILD_DIR IMAGES_DIR   (the disks lie in IMAGES_DIR-ntfs-sectors)
set -euo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
SECTORS=$IMAGES-ntfs-sectors
bash "$(dirname "$0")/../ntfs/make_ntfs_sector_images.sh" "$SECTORS" ||
  { skip_without_images "$SECTORS could not be made" && exit 0; exit 1; }
export XDG_CONFIG_HOME=$WORK/config

# saved_files TAG NAME DIR OUT: every file `recover` (its output in OUT) called [Recovered]
# under DIR is the one icat reads for its path; the paths compared go to $WORK/compared.
saved_files() {
  local tag=$1 name=$2 dir=$3 out=$4 path record
  : >"$WORK/compared"
  while IFS= read -r path; do
    record=$(awk -F'\t' -v p="$path" '$2 == p { split($1, h, " "); n = h[2] == "*" ? h[3] : h[2]; sub(/:$/, "", n); print n; exit }' \
      "$SECTORS/$name.fls")
    if [[ -z $record || ! -f $SECTORS/$name.files/$record ]]; then continue; fi
    if cmp -s "$dir/$path" "$SECTORS/$name.files/$record"; then
      printf '%s\n' "$path" >>"$WORK/compared"
    else
      fail "$tag: $path [Recovered] with bytes icat does not read"
    fi
  done < <(sed -n 's/^\[Recovered\] //p' "$out")
}

# recovered TAG NAME DIR OUT PATH...: each PATH was saved as icat reads it.
recovered() {
  local tag=$1 name=$2 dir=$3 out=$4 path; shift 4
  saved_files "$tag" "$name" "$dir" "$out"
  for path in "$@"; do
    grep -qxF "$path" "$WORK/compared" || fail "$tag: $path not saved as icat reads it"
  done
}

# The files fls lists live outside the metadata, and the deleted ones.
live_files() { awk -F'\t' '$1 ~ /^r\/r / && $2 !~ /^\$/ { print $2 }' "$SECTORS/$1.fls"; }
deleted_files() { awk -F'\t' '$1 ~ /^-\/r \* / && $2 !~ /^\$/ { print $2 }' "$SECTORS/$1.fls"; }

# recover_ok TAG ARGS...: `qelda ARGS` ran to exit 0, its output in $WORK/out and files in $WORK/rec.
recover_ok() {
  local tag=$1 rc=0; shift
  rm -rf "$WORK/rec"
  guarded "$WORK/out" "$WORK/err" "$QELDA" "$@" || rc=$?
  guard_passed "$tag" "$rc" "$WORK/err"
}

for n in 1024 2048 4096; do
  name=ntfs-s$n
  disk=$SECTORS/$name.vmdk
  mapfile -t live < <(live_files $name)
  mapfile -t deleted < <(deleted_files $name)
  ((${#live[@]} >= 9 && ${#deleted[@]} == 2)) || fail "$name: fls lists ${#live[@]} live and ${#deleted[@]} deleted files"
  for run in quick advanced deleted "deleted --scan-type deep" "raw --types jpg"; do
    tag="$name --kind $run"
    before=$FAILED
    rm -f "$WORK/saved"
    # shellcheck disable=SC2086  # the scan kind's words are split on purpose
    recover_ok "$tag" recover "$disk" --source 1 --kind $run --out "$WORK/rec" --save-scan "$WORK/saved" || continue
    CHECKED=$((CHECKED + 1))
    case $run in
      deleted*) recovered "$tag" $name "$WORK/rec" "$WORK/out" "${deleted[@]}" ;;
      raw*) saved_files "$tag" $name "$WORK/rec" "$WORK/out" ;;  # files of random bytes: nothing to find
      *) recovered "$tag" $name "$WORK/rec" "$WORK/out" "${live[@]}" ;;
    esac
    ((FAILED == before)) && echo "ok   $tag: $(wc -l <"$WORK/compared") files as icat reads them"
    [[ $run == deleted* || $run == raw* ]] && continue
    tag="$name --kind $run resumed"
    before=$FAILED
    recover_ok "$tag" resume "$WORK/saved" --image "$disk" --out "$WORK/rec" || continue
    recovered "$tag" $name "$WORK/rec" "$WORK/out" "${live[@]}"
    CHECKED=$((CHECKED + 1))
    ((FAILED == before)) && echo "ok   $tag: $(wc -l <"$WORK/compared") files as icat reads them"
  done
done

# variant NAME HOW: NAME's disk copied to $WORK/variant.vmdk: nomap, its partition table
# wiped (the lost-volume search finds the volume); noboot, the volume's first sector (its
# boot sector) zeroed; noboots, the backup in its last sector too; nomapback, the partition
# table and the backup; nomapboots, the partition table and both boot sectors.
variant() {
  local copy=$WORK/variant.vmdk
  cp --sparse=always "$SECTORS/$1.vmdk" "$copy"
  case $2 in
    nomap*) dd if=/dev/zero of="$copy" bs=1 seek=446 count=64 conv=notrunc status=none ;;&
    noboots | nomapback | nomapboots) dd if=/dev/zero of="$copy" bs=512 seek=$((2048 + 131072 - 8)) count=8 conv=notrunc status=none ;;&
    noboot* | nomapboots) dd if=/dev/zero of="$copy" bs=512 seek=2048 count=8 conv=notrunc status=none ;;
  esac
}

for n in 1024 2048 4096; do
  name=ntfs-s$n
  mapfile -t live < <(live_files $name)
  variant $name nomap
  rc=0
  guarded "$WORK/out" "$WORK/err" "$QELDA" lost "$WORK/variant.vmdk" || rc=$?
  guard_passed "$name lost" "$rc" "$WORK/err" || continue
  # Found at sector 2048, its size the boot sector's in 512-byte sectors (all but its last sector).
  grep -qP "^1\t2\t.*\tNTFS\t2048\t$((131072 - n / 512))\t" "$WORK/out" ||
    fail "$name lost: the volume is not listed whole: $(head -c 300 "$WORK/out")"
  for run in "nomap quick --lost" "nomapback quick --lost" "nomapboots quick --lost --deep" \
    "noboot quick" "noboot advanced" "noboots advanced"; do
    # shellcheck disable=SC2086  # the words of the case are split on purpose
    set -- $run
    how=$1; shift
    tag="$name ${how/-/as made} --kind $*"
    image=$SECTORS/$name.vmdk
    if [[ $how != - ]]; then variant $name "$how"; image=$WORK/variant.vmdk; fi
    before=$FAILED
    rm -rf "$WORK/rec"
    rc=0
    guarded "$WORK/out" "$WORK/err" "$QELDA" recover "$image" --source 1 --kind "$@" --out "$WORK/rec" || rc=$?
    CHECKED=$((CHECKED + 1))
    saved_files "$tag" "$name" "$WORK/rec" "$WORK/out"
    if ((rc != 0)); then fail "$tag: exit $rc: $(head -c 300 "$WORK/err")"; continue; fi
    recovered "$tag" $name "$WORK/rec" "$WORK/out" "${live[@]}"
    ((FAILED == before)) && echo "ok   $tag: $(wc -l <"$WORK/compared") files as icat reads them"
  done
done

((CHECKED > 0)) || fail "nothing checked"
exit $((FAILED > 0))
