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

if [[ $# -ne 2 ]]; then echo "usage: $0 BUILD_DIR IMAGES_DIR" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
QELDA=$BUILD/qelda
CUT=$BUILD/images-cut
[[ -x $QELDA ]] || { echo "no qelda at $QELDA" >&2; exit 1; }
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_cut_images.sh" "$CUT" || exit 1

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qelda-cut-check.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
FAILED=0 CHECKED=0
fail() { printf 'FAIL %s\n' "$*"; FAILED=$((FAILED + 1)); }

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

  # The copy that stopped halfway.
  CHECKED=$((CHECKED + 1))
  if ! "$QELDA" recover "$CUT/$fs-cut.vmdk" --out "$WORK/$fs-cut" >"$WORK/$fs-cut.log" 2>"$WORK/err"; then
    fail "$fs cut: recover failed: $(head -c 300 "$WORK/err")"
    continue
  fi
  read -r same different < <(recovered_against "$fs" "$WORK/$fs-cut" "$WORK/$fs-cut.log" 2>"$WORK/diff")
  ((different == 0)) || fail "$fs cut: $different files reported [Recovered] differ from the whole volume's: $(cat "$WORK/diff")"
  ((same > 0 && same < files)) || fail "$fs cut: $same of $files files reported [Recovered]: the cut does not cut through the files"
  grep -q '^\[Partially Recovered\] ' "$WORK/$fs-cut.log" || fail "$fs cut: no file reported [Partially Recovered]"
  printf '%s cut: %d files [Recovered] and equal to icat; %s\n' "$fs" "$same" "$(tail -n 1 "$WORK/$fs-cut.log")"

  # A sparse VMDK cut halfway through the grains it stores.
  for image in "$fs-cut-sparse.vmdk"; do
    CHECKED=$((CHECKED + 1))
    if ! "$QELDA" recover "$CUT/$image" --out "$WORK/$image.out" >"$WORK/$image.log" 2>"$WORK/err"; then
      fail "$image: recover failed: $(head -c 300 "$WORK/err")"
      continue
    fi
    read -r same different < <(recovered_against "$fs" "$WORK/$image.out" "$WORK/$image.log" 2>"$WORK/diff")
    ((different == 0)) || fail "$image: $different files reported [Recovered] differ: $(cat "$WORK/diff")"
    ((same > 0 && same < files)) || fail "$image: $same of $files files reported [Recovered]"
  done

  # The same cut copy as one raw file, its volume found by the lost-volume search and read
  # by the engine straight from the file.
  CHECKED=$((CHECKED + 1))
  cat "$CUT/$fs-head.bin" "$CUT/$fs-cut.bin" >"$WORK/$fs-cut.raw"
  if ! "$QELDA" recover "$WORK/$fs-cut.raw" --lost --source 0 --out "$WORK/$fs-raw" >"$WORK/$fs-raw.log" 2>"$WORK/err"; then
    fail "$fs cut, raw file: recover failed: $(head -c 300 "$WORK/err")"
    continue
  fi
  read -r same different < <(recovered_against "$fs" "$WORK/$fs-raw" "$WORK/$fs-raw.log" 2>"$WORK/diff")
  ((different == 0)) || fail "$fs cut, raw file: $different files reported [Recovered] differ: $(cat "$WORK/diff")"
  ((same > 0 && same < files)) || fail "$fs cut, raw file: $same of $files files reported [Recovered]"
  rm -f "$WORK/$fs-cut.raw"
done

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
