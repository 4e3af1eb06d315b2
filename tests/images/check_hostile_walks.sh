#!/usr/bin/env bash
# Runs the real `qelda` over the hostile disks of the directory walks (made by
# make_hostile_walks.sh, each at one size and at four times it), every run held to 1 GiB of
# memory (ulimit -v; under the sanitizers, their own RSS limit) and ended by a hang guard:
#  - `scan --list` (quick and deleted-files) and `recover` end with status 0;
#  - recover writes no more file bytes than the disk holds, and no work folder is left in
#    the cache, also after a scan ended by SIGTERM;
#  - the disk at four times the size costs no more than about four times the output;
#  - lost folders are listed no deeper than the walks go;
#  - the deleted file that runs past the volume's end is saved with the one cluster the
#    volume holds and said to be partially recovered.
# Prints the time, peak memory and output of every run. Under the sanitizers (tens of times
# slower) the guard allows 300 s, and the lost-folder chain, whose listing runs to a
# gigabyte of paths 2048 folders deep, is checked at its first size only.
#
#   check_hostile_walks.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-hostile-walks.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-hostile-walks
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_hostile_walks.sh" "$DISKS" || exit 1

# shellcheck source=hostile_walks_common.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/hostile_walks_common.sh"

declare -A LISTED
for name in fat-nested fat-lost fat-pastend exfat-chains exfat-contig exfat-siblings; do
  for n in 1 4; do
    ((SANITIZED && n == 4)) && [[ $name == fat-lost ]] && continue
    image=$DISKS/$name-$n.vmdk size=$(disk_bytes "$name-$n")
    for kind in quick deleted; do
      what="$name-$n scan --kind $kind --list"
      if measured "$what" "$S/bytes" "$QELDA" scan "$image" --source 1 --kind "$kind" --list; then
        printf '%-42s %12s bytes listed  %s\n' "$what" "$(<"$S/bytes")" "$(<"$S/time")"
        LISTED[$name-$n-$kind]=$(<"$S/bytes")
      fi
      no_work_folder "$what"
    done
    what="$name-$n recover"
    rm -rf "$WORK/rec"
    if measured "$what" "$S/bytes" "$QELDA" recover "$image" --source 1 --out "$WORK/rec"; then
      written=$(find "$WORK/rec" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
      folders=$(find "$WORK/rec" -type d | wc -l)
      printf '%-42s %12s bytes saved in %s folders  %s\n' "$what" "$written" "$folders" "$(<"$S/time")"
      ((written <= size)) || fail "$what: $written bytes saved from a disk of $size"
    fi
    no_work_folder "$what"
  done
  # Four times the disk, at most a little over four times the listing.
  for kind in quick deleted; do
    one=${LISTED[$name-1-$kind]:-} four=${LISTED[$name-4-$kind]:-}
    [[ -n $one && -n $four ]] || continue
    CHECKED=$((CHECKED + 1))
    ((four <= 5 * one + 4096)) || fail "$name $kind: listing grows from $one to $four bytes at four times the disk"
  done
done

# Lost folders go no deeper than the walks: 2048 folders under "Lost folder(s)" and the
# made-up folder of their unknown parent, at most.
if ((!SANITIZED)) && measured "fat-lost-1 depth" "$S/bytes" sh -c "'$QELDA' scan '$DISKS/fat-lost-1.vmdk' --source 1 --list | awk -F'\t' '{ n = gsub(\"/\", \"/\", \$4); if (n > d) d = n } END { print d }' >&2"; then
  depth=$(tail -1 "$S/err")
  ((depth >= 2000 && depth <= 2050)) || fail "fat-lost-1: lost folders nested $depth deep"
fi

# The file past the volume's end: what the volume holds, said to be partial.
for n in 1 4; do
  rm -rf "$WORK/rec"
  if measured "fat-pastend-$n recover" "$S/bytes" sh -c "'$QELDA' recover '$DISKS/fat-pastend-$n.vmdk' --source 1 --out '$WORK/rec' >'$S/out'"; then
    grep -qxF '[Partially Recovered] XAST.BIN' "$S/out" || fail "fat-pastend-$n: not said partially recovered: $(head -3 "$S/out")"
    [[ $(stat -c %s "$WORK/rec/XAST.BIN" 2>/dev/null) == 512 ]] || fail "fat-pastend-$n: saved file is not the volume's one cluster"
  fi
done

# A scan ended by SIGTERM leaves no work folder.
for name in exfat-contig-4 exfat-chains-4; do
  CHECKED=$((CHECKED + 1))
  "$QELDA" scan "$DISKS/$name.vmdk" --source 1 --list >/dev/null 2>&1 &
  pid=$!
  sleep 0.05
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  no_work_folder "$name ended by SIGTERM"
done

echo "check_hostile_walks: $CHECKED checks, $FAILED failed"
((FAILED == 0))
