#!/usr/bin/env bash
# Runs the real `qelda` over a FAT16 volume formatted again with larger clusters (made by
# tests/fat/make_fat_geometry.sh: mkfs.fat -s 8 and mtools, then mkfs.fat -s 16), whose old
# files in nested folders lie where the old geometry puts them:
#  - recover, quick, advanced and deep deleted-files scans: no file said recovered holds other
#    bytes than the file of its name as written;
#  - the quick and the advanced scans save every file written, whole: the folders found agree
#    on the old cluster size and data start, and the files are read with them.
#
#   check_reformat_fat.sh BUILD_DIR IMAGES_DIR
# The disk is cached in BUILD_DIR/images-fat-geometry.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-fat-geometry
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../fat/make_fat_geometry.sh" "$DISKS" || exit 1
export XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/config
DISK=$DISKS/fat16-reformat.vmdk
WRITTEN=$DISKS/fat16-reformat.written

# recovered WHAT OUT KIND-OPTION...: recovers into OUT; every "[Recovered]" file whose name
# was written must equal it. The names of the written files found whole go to OUT.whole.
recovered() {
  local what=$1 out=$2 line path want; shift 2
  CHECKED=$((CHECKED + 1))
  rm -rf "$out"
  guarded "$out.said" "$WORK/err" "$QELDA" recover "$DISK" --source 1 "$@" --out "$out"
  guard_passed "$what" $? "$WORK/err" || return 1
  : >"$out.whole"
  while IFS= read -r line; do
    path=${line#\[Recovered\] }
    want=$(find "$WRITTEN" -type f -iname "$(basename "$path")" | head -1)
    [[ -n $want ]] || continue
    if cmp -s "$out/$path" "$want"; then
      echo "${want#"$WRITTEN"/}" >>"$out.whole"
    else
      fail "$what: $path said recovered, but its bytes differ from the file written"
    fi
  done < <(grep '^\[Recovered\] ' "$out.said")
}

for kind in quick advanced; do
  recovered "recover --kind $kind" "$WORK/$kind" --kind "$kind" || continue
  (cd "$WRITTEN" && find . -type f -printf '%P\n') | sort >"$WORK/want"
  sort -u "$WORK/$kind.whole" >"$WORK/got"
  missing=$(comm -23 "$WORK/want" "$WORK/got" | paste -sd' ')
  [[ -z $missing ]] || fail "recover --kind $kind: not saved whole: $missing"
done
recovered "recover --kind deleted --scan-type deep" "$WORK/deep" --kind deleted --scan-type deep

echo "check_reformat_fat: $CHECKED checks, $FAILED failed"
((FAILED == 0))
