#!/usr/bin/env bash
# Runs the real `qelda scan --list` and `qelda recover` over the volumes of
# make_sigsearch_images.sh and holds the signature searches of the advanced scans (and of the
# NTFS deleted-files scan's deep branch) to the raw scan's rule:
#  - on volumes whose every free cluster starts an AU header of unknown end (FAT12 of 1 and
#    4 MiB, NTFS), each run ends within the guard's time and memory; the files found never
#    overlap (each ends before the next begins); what is listed and what is written under
#    "Raw Data Folder(s)" stay within the volume; every file said to be recovered whole was written whole; and the
#    advanced scan finds the very files (clusters and sizes) the raw scan finds;
#  - on an NTFS volume that lost its first records ($Bitmap with them), the advanced and the
#    deep scans with --types png still search: the lost picture comes back byte for byte
#    under "Raw Data Folder(s)", and the live one, whose record holds its clusters, only in
#    the tree.
#
#   check_signature_search.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
[[ -f $IMAGES/fat1m.vmdk && -f $IMAGES/ntfslost.vmdk ]] || { echo "no volumes in $IMAGES" >&2; exit 1; }
export HOME=$WORK/home
mkdir -p "$HOME"
RAW='Raw Data Folder(s)'

# found_files LIST PREFIX: "CLUSTER<TAB>SIZE" of each file listed under PREFIX (type folder
# "au" or "png" and files named CLUSTER.TYPE), by cluster.
found_files() {
  awk -F'\t' -v p="$2" '$1 == "f" && substr($4, 1, length(p)) == p {
    n = substr($4, length(p) + 1); sub(/^[a-z]+\//, "", n); sub(/\.[a-z]+$/, "", n); print n "\t" $3 }' "$1" | sort -n
}

# check_overlap WHAT FILES CLUSTER_BYTES END_CLUSTER: each file ends before the next begins
# (files read on from their cluster), the last one at END_CLUSTER at the latest.
check_overlap() {
  local bad
  bad=$(awk -F'\t' -v cb="$3" -v end="$4" '
    NR > 1 && size > (($1 - at) * cb) { print at " (" size " bytes) runs into " $1 }
    { at = $1; size = $2 }
    END { if (NR > 0 && size > (end - at) * cb) print at " (" size " bytes) runs past the searched clusters" }' "$2")
  [[ -z $bad ]] || fail "$1: files overlap: $(head -2 <<<"$bad" | tr '\n' ' ')"
}

# check_overlapping_finds NAME TYPE CLUSTER_BYTES END_CLUSTER KIND...: the scan KIND, listed
# and recovered within the guards, finds what the raw scan finds, each file apart from the next.
check_overlapping_finds() {
  local name=$1 type=$2 cb=$3 end=$4 what out volume
  shift 4
  what="$name ($*)"
  out=$WORK/$name-${*// /_}
  volume=$(stat -c %s "$IMAGES/$name.img")
  guarded "$out.list" "$out.err" "$QELDA" scan "$IMAGES/$name.vmdk" --source 1 "$@" --types "$type" --list
  guard_passed "$what: scan" $? "$out.err" || return
  CHECKED=$((CHECKED + 1))
  found_files "$out.list" "$RAW/" >"$out.found"
  [[ -s $out.found ]] || { fail "$what: nothing under $RAW"; return; }
  check_overlap "$what" "$out.found" "$cb" "$end"
  local listed
  listed=$(awk -F'\t' '{ s += $2 } END { printf "%.0f\n", s }' "$out.found")
  ((listed <= volume)) || fail "$what: lists $listed bytes under $RAW from a volume of $volume"

  guarded "$out.raw" "$out.raw.err" "$QELDA" scan "$IMAGES/$name.vmdk" --source 1 --kind raw --types "$type" --list
  if guard_passed "$name: raw scan" $? "$out.raw.err"; then
    found_files "$out.raw" "" >"$out.raw.found"
    cmp -s "$out.found" "$out.raw.found" ||
      fail "$what: finds differ from the raw scan's: $(diff "$out.raw.found" "$out.found" | head -4 | tr '\n' ' ')"
  fi

  guarded "$out.recover" "$out.recover.err" "$QELDA" recover "$IMAGES/$name.vmdk" --source 1 "$@" --types "$type" \
    --out "$out.saved"
  guard_passed "$what: recover" $? "$out.recover.err" || return
  local written
  written=$(find "$out.saved/$RAW" -type f -printf '%s\n' 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }')
  ((written <= volume)) || fail "$what: recover wrote $written bytes under $RAW from a volume of $volume"
  # A file found by its signature and said to be recovered whole holds every byte listed for it.
  bad=$(awk -F'\t' -v raw="$RAW/" '
    FILENAME == ARGV[1] { if ($1 == "f") size[$4] = $3; next }
    FILENAME == ARGV[2] { if (sub(/^\[Recovered\] /, "") && index($0, raw) == 1) whole[$0] = 1; next }
    { saved[$2] = $1 }
    END { for (p in whole) if (!(p in saved) || saved[p] != size[p]) print p }' \
    "$out.list" "$out.recover" <(find "$out.saved" -type f -printf '%s\t%P\n'))
  [[ -z $bad ]] || fail "$what: said recovered but short: $(head -2 <<<"$bad" | tr '\n' ' ')"
}

# FAT12, 2 KiB clusters numbered from 2 after the system area: none past the volume's size.
for mb in 1 4; do
  check_overlapping_finds "fat${mb}m" au 2048 $((mb * 1024 * 1024 / 2048 + 2)) --kind advanced
done
# NTFS, 4 KiB clusters from cluster 0.
ntfs_end=$(($(stat -c %s "$IMAGES/ntfsau.img") / 4096))
check_overlapping_finds ntfsau au 4096 "$ntfs_end" --kind advanced
check_overlapping_finds ntfsau au 4096 "$ntfs_end" --kind deleted --scan-type deep

# NTFS without its first records: the lost picture is found by its signature, byte for byte.
lost=$(md5sum <"$IMAGES/lost.png" | cut -d' ' -f1)
live=$(md5sum <"$IMAGES/live.png" | cut -d' ' -f1)
for kind in "--kind advanced" "--kind deleted --scan-type deep"; do
  out=$WORK/lost-${kind// /_}
  # shellcheck disable=SC2086  # the kind is two or four words
  guarded "$out.recover" "$out.err" "$QELDA" recover "$IMAGES/ntfslost.vmdk" --source 1 $kind --types png --out "$out"
  guard_passed "ntfslost ($kind): recover" $? "$out.err" || continue
  CHECKED=$((CHECKED + 1))
  sums=$(find "$out/$RAW" -type f -exec md5sum {} + 2>/dev/null | cut -d' ' -f1)
  grep -qx "$lost" <<<"$sums" || fail "ntfslost ($kind): lost.png is not under $RAW byte for byte"
  ! grep -qx "$live" <<<"$sums" || fail "ntfslost ($kind): live.png, which its record holds, is under $RAW too"
  [[ $(md5sum <"$out/live.png" 2>/dev/null | cut -d' ' -f1) == "$live" ]] ||
    fail "ntfslost ($kind): live.png is not in the tree byte for byte"
done

echo "$CHECKED checked, $FAILED failed"
((FAILED == 0))
