#!/usr/bin/env bash
# Runs the real `qelda recover` over disks whose copy stopped early (make_cut_images.sh):
# one NTFS, FAT32 or exFAT volume behind a flat VMDK whose volume extent holds only the
# first half of the volume. Checks that
#  - the whole disk recovers every file, each equal to The Sleuth Kit's (icat);
#  - on the cut disk, every file said to be [Recovered] equals the whole volume's file:
#    a file with any byte the image could not give is [Partially Recovered] (or skipped);
#  - the cut really cuts through the files: some are [Recovered], some are not;
#  - the same holds for a sparse VMDK cut halfway through the grains it stores, and
#    when the cut disk is one raw file whose volume the lost-volume search finds (the
#    engine then reads the file itself).
#
#   check_cut_images.sh BUILD_DIR IMAGES_DIR
# The disks are made by make_cut_images.sh and cached in BUILD_DIR/images-cut.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
CUT=$BUILD/images-cut
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_cut_images.sh" "$CUT" || exit 1

# recovered_against FS OUT LOG: for every "[Recovered] PATH" line of LOG, PATH under OUT
# against FS.md5 (paths compared without case: FAT short names). Prints "SAME DIFFERENT"
# and the first differing paths on stderr. The volume's own $ files are not in the oracle.
recovered_against() {
  local fs=$1 out=$2 log=$3 same=0 different=0 path want got
  while IFS= read -r path; do
    [[ $path == \$* ]] && continue
    want=$(awk -F'\t' -v p="$path" 'tolower($2) == tolower(p) { print $1; exit }' "$CUT/$fs.md5")
    got=$(md5sum <"$out/$path" 2>/dev/null | cut -d' ' -f1)
    if [[ -n $want && $want == "$got" ]]; then
      same=$((same + 1))
    else
      different=$((different + 1))
      ((different <= 3)) && printf '  %s: %s, not %s\n' "$path" "${got:-missing}" "${want:-(no such file)}" >&2
    fi
  done < <(sed -n 's/^\[Recovered\] //p' "$log")
  echo "$same $different"
}

# check_cut FS WHAT NAME ARGS...: `qelda recover ARGS --out WORK/NAME` of a cut copy of FS:
# no file reported [Recovered] differs from the whole volume's, and the cut cuts through the
# files (some recovered, not all). Sets SAME to the files recovered equal.
check_cut() {
  local fs=$1 what=$2 name=$3 files different; shift 3
  files=$(wc -l <"$CUT/$fs.md5")
  SAME=0
  CHECKED=$((CHECKED + 1))
  if ! "$QELDA" recover "$@" --out "$WORK/$name" >"$WORK/$name.log" 2>"$WORK/err"; then
    fail "$what: recover failed: $(head -c 300 "$WORK/err")"
    return 1
  fi
  read -r SAME different < <(recovered_against "$fs" "$WORK/$name" "$WORK/$name.log" 2>"$WORK/diff")
  ((different == 0)) || fail "$what: $different files reported [Recovered] differ from the whole volume's: $(cat "$WORK/diff")"
  ((SAME > 0 && SAME < files)) || fail "$what: $SAME of $files files reported [Recovered]: the cut does not cut through the files"
}

for fs in ntfs fat32 exfat; do
  files=$(wc -l <"$CUT/$fs.md5")

  # The whole copy: the oracle and qelda's paths agree, and every file comes back.
  CHECKED=$((CHECKED + 1))
  if "$QELDA" recover "$CUT/$fs.vmdk" --out "$WORK/$fs-whole" >"$WORK/$fs-whole.log" 2>"$WORK/err"; then
    read -r same different < <(recovered_against "$fs" "$WORK/$fs-whole" "$WORK/$fs-whole.log" 2>"$WORK/diff")
    ((same == files && different == 0)) ||
      fail "$fs whole: $same of $files files recovered equal to icat, $different differ: $(cat "$WORK/diff")"
  else
    fail "$fs whole: recover failed: $(head -c 300 "$WORK/err")"
  fi

  # The copy that stopped halfway, behind a flat VMDK.
  if check_cut "$fs" "$fs cut" "$fs-cut" "$CUT/$fs-cut.vmdk"; then
    grep -q '^\[Partially Recovered\] ' "$WORK/$fs-cut.log" || fail "$fs cut: no file reported [Partially Recovered]"
    printf '%s cut: %d files [Recovered] and equal to icat; %s\n' "$fs" "$SAME" "$(tail -n 1 "$WORK/$fs-cut.log")"
  fi
  # A sparse VMDK cut halfway through the grains it stores.
  check_cut "$fs" "$fs cut, sparse VMDK" "$fs-sparse" "$CUT/$fs-cut-sparse.vmdk"
  # The cut copy as one raw file, its volume found by the lost-volume search and read by the
  # engine straight from the file.
  cat "$CUT/$fs-head.bin" "$CUT/$fs-cut.bin" >"$WORK/$fs-cut.raw"
  check_cut "$fs" "$fs cut, raw file" "$fs-raw" "$WORK/$fs-cut.raw" --lost --source 0
  rm -f "$WORK/$fs-cut.raw"
done

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
