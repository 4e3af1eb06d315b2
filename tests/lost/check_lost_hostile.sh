#!/usr/bin/env bash
# Runs the real `qelda lost` over the disks of make_lost_hostile_images.sh, each run held to
# 1 GiB of memory (ulimit -v; under the sanitizers, their own RSS limit) and ended by a hang
# guard, and checks that
#  - a disk of FAT16, NTFS, FAT32 and exFAT whose partition table is wiped gives, by the deep
#    search, those four volumes where mmls had them and nothing else: the directories of
#    the FAT volumes found by their boot sectors rebuild no second volume;
#  - a disk made of nothing but copies of one $MFT record gives one volume per start the
#    copies imply, once however many copies imply it, and the same pattern four times as
#    long ends as soon and gives four times as many (the listing check does not walk the
#    list per candidate);
#  - volumes whose boot sector claims more sectors than the disk holds (exFAT: 2^64-1;
#    FAT32: a FAT of 16 million sectors) are listed with what the disk holds, their size
#    text follows that count, and the cut is said on stderr.
#
#   check_lost_hostile.sh BUILD_DIR IMAGES_DIR
# The disks are made by make_lost_hostile_images.sh and cached in BUILD_DIR/images-lost-hostile.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-lost-hostile
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_lost_hostile_images.sh" "$DISKS" || exit 1

# run_lost WHAT ARGS...: `qelda lost ARGS` guarded, output in $WORK/out and $WORK/err; false
# (and a failure said) unless it ends with 0.
run_lost() {
  local what=$1; shift
  CHECKED=$((CHECKED + 1))
  guarded "$WORK/out" "$WORK/err" "$QELDA" lost "$@"
  guard_passed "$what" $? "$WORK/err"
}

# ---------------------------------------------------------------- four volumes, no phantoms
if run_lost "four volumes" "$DISKS/four.raw" --deep; then
  while read -r n start fs; do
    awk -F'\t' -v f="$fs" -v s="$start" '$2 == 11 && $4 == f && $5 == s { found = 1 } END { exit !found }' "$WORK/out" ||
      fail "four volumes: p$n ($fs at $start) not found by its boot sector"
  done <"$DISKS/four.parts"
  [[ $(wc -l <"$WORK/out") == 4 ]] || fail "four volumes: more than the four volumes listed:
$(cat "$WORK/out")"
fi

# ---------------------------------------------------------------- copies of one $MFT record
# A copy at sector r whose next copy lies 8 sectors on implies a volume at r - spc x F
# (F: the $MFT's first cluster, one more in every second run of four), at least a track past
# sector 0. Copies that agree on a start give one volume.
read -r spc mft <"$DISKS/mft.geometry"
implied_starts() {
  awk -v n=$(($(stat -c %s "$1") / 512)) -v spc="$spc" -v mft="$mft" 'BEGIN {
    for (r = 0; r + 8 < n; r += 2) {
      f = mft + int(r / 8) % 2
      if (r >= spc * f + 63) start[r - spc * f] = 1
    }
    for (s in start) count++
    print count }'
}
for size in 8 32; do
  disk=$DISKS/mft-${size}m.raw
  run_lost "mft copies ${size} MiB" "$disk" --deep || continue
  want=$(implied_starts "$disk")
  got=$(awk -F'\t' '$2 == 12 && $4 == "NTFS"' "$WORK/out" | wc -l)
  [[ $got == "$want" ]] || fail "mft copies ${size} MiB: $got rebuilt NTFS volumes, not one per implied start ($want)"
  [[ -z $(cut -f5 "$WORK/out" | sort | uniq -d | head -1) ]] || fail "mft copies ${size} MiB: a start listed twice"
  [[ $(awk -F'\t' '$2 != 12 || $4 != "NTFS"' "$WORK/out" | wc -l) == 0 ]] ||
    fail "mft copies ${size} MiB: lines other than rebuilt NTFS volumes: $(awk -F'\t' '$2 != 12' "$WORK/out" | head -3)"
  printf 'mft copies %d MiB: %d volumes\n' "$size" "$got"
done

# ---------------------------------------------------------------- sizes past the disk
disk_sectors=$(($(stat -c %s "$DISKS/claims.raw") / 512))
# claim WHAT ARGS...: each volume of claims.parts listed by its boot sector from its start to
# the disk's end, its size text that of this count, and a note on stderr for it.
claim() {
  local what=$1 n start fs count line; shift
  run_lost "$what" "$DISKS/claims.raw" "$@" || return
  while read -r n start fs; do
    [[ $what == quick && $fs == FAT32 ]] && continue  # not on a boundary the quick search probes
    count=$((disk_sectors - start))
    line=$(awk -F'\t' -v f="$fs" -v s="$start" '$2 == 11 && $4 == f && $5 == s' "$WORK/out")
    [[ -n $line ]] || { fail "$what: no $fs at $start: $(cat "$WORK/out")"; continue; }
    [[ $(cut -f6 <<<"$line") == "$count" ]] || fail "$what: $fs listed with $(cut -f6 <<<"$line") sectors, not $count"
    [[ $(cut -f7 <<<"$line") == "$(awk -v c="$count" 'BEGIN { printf "%.2f MB", c / 2048 }')" ]] ||
      fail "$what: $fs of $count sectors has the size text '$(cut -f7 <<<"$line")'"
    grep -q "from sector $start, past the end of the disk at sector $disk_sectors; only its first $count are read" "$WORK/err" ||
      fail "$what: the cut of $fs at $start not said on stderr: $(cat "$WORK/err")"
  done <"$DISKS/claims.parts"
}
claim quick
claim deep --deep

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
