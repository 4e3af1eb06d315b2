#!/usr/bin/env bash
# Runs the real `qelda` over the full-size disks of make_hostile_walks_long.sh (folders
# nested along one FAT chain through every cluster of a 2 GiB volume, and of one four times
# its size), every run held to 1 GiB of memory (ulimit -v; under the sanitizers, their own
# RSS limit) and ended by a hang guard:
#  - `scan --list` of every kind the volume has (quick, deleted-files, advanced) and
#    `recover` (after a quick and an advanced scan) end with status 0;
#  - recover writes no more file bytes than the disk holds, says no file is whole (the disk
#    holds folders only) and leaves no work folder in the cache;
#  - the disk at four times the size costs no more than about four times the output.
# Prints the time, peak memory and output of every run. Under the sanitizers the larger disk
# is left out (its advanced scan reads 8 GiB).
#
#   check_hostile_walks_long.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-hostile-walks-long.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-hostile-walks-long
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_hostile_walks_long.sh" "$DISKS" || exit 1

# shellcheck source=hostile_walks_common.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/hostile_walks_common.sh"

declare -A LISTED
for n in 1 4; do
  ((SANITIZED && n == 4)) && continue
  name=fat-longchain-$n image=$DISKS/fat-longchain-$n.vmdk size=$(disk_bytes "fat-longchain-$n")
  for kind in quick deleted advanced; do
    what="$name scan --kind $kind --list"
    if measured "$what" "$S/bytes" "$QELDA" scan "$image" --source 1 --kind "$kind" --list; then
      LISTED[$n-$kind]=$(<"$S/bytes")
      printf '%-42s %12s bytes listed  %s\n' "$what" "${LISTED[$n-$kind]}" "$(<"$S/time")"
    fi
    no_work_folder "$what"
  done
  for kind in quick advanced; do
    what="$name recover --kind $kind"
    rm -rf "$WORK/rec"
    if measured "$what" "$S/bytes" sh -c "'$QELDA' recover '$image' --source 1 --kind $kind --out '$WORK/rec' >'$S/out'"; then
      written=$(find "$WORK/rec" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
      printf '%-42s %12s bytes saved  %s\n' "$what" "$written" "$(<"$S/time")"
      ((written <= size)) || fail "$what: $written bytes saved from a disk of $size"
      ! grep -q '^\[Recovered\]' "$S/out" || fail "$what: a file said whole: $(grep -m1 '^\[Recovered\]' "$S/out")"
    fi
    no_work_folder "$what"
  done
done

# Four times the disk, at most a little over four times the listing.
for kind in quick deleted advanced; do
  one=${LISTED[1-$kind]:-} four=${LISTED[4-$kind]:-}
  [[ -n $one && -n $four ]] || continue
  CHECKED=$((CHECKED + 1))
  ((four <= 5 * one + 4096)) || fail "fat-longchain $kind: listing grows from $one to $four bytes at four times the disk"
done

echo "check_hostile_walks_long: $CHECKED checks, $FAILED failed"
((FAILED == 0))
