#!/usr/bin/env bash
# Runs the real `qelda recover` and `qelda scan --list` over the damaged NTFS, FAT32 and FAT12
# volumes of make_advraw_images.sh (deleted media, the boot sectors zeroed; the FAT12 volume is
# small enough to be swept one cluster at a time) and holds what the advanced scans give with
# --types against what was written:
#  - at least 95% of the deleted media files come back byte for byte under "Raw Data
#    Folder(s)", in one folder per type, each file named by its cluster and its type;
#  - the rebuilt tree stands beside them: the live files come back byte for byte outside it;
#  - without --types the listing is the listing with --types less "Raw Data Folder(s)";
#  - the NTFS deleted-files scan's deep branch searches the types too.
# The share found on each volume is printed ("ntfs: 88 of 88 deleted files byte-exact").
#
#   check_advanced_raw.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
[[ -f $IMAGES/ntfs.vmdk && -f $IMAGES/fat32.vmdk ]] || { echo "no damaged volumes in $IMAGES" >&2; exit 1; }
# The file-type catalogue is written into a home of the check's own.
export HOME=$WORK/home
mkdir -p "$HOME"
TYPES=jpg,png,gif,bmp,tif,zip,html

md5s() { find "$@" -type f -exec md5sum {} + 2>/dev/null | cut -d' ' -f1 | sort -u; }

# How many of the files a manifest ("MD5 SIZE NAME") lists have their bytes among the md5s.
count_found() { cut -f1 "$1" | sort -u | comm -12 - "$2" | wc -l; }

check_volume() {
  local name=$1 fs=$2 out=$WORK/$1 raw
  raw="$out/Raw Data Folder(s)"
  "$QELDA" recover "$IMAGES/$name.vmdk" --source 1 --kind advanced --fs "$fs" --types "$TYPES" --out "$out" \
    >"$WORK/$name.recover" 2>&1 || { fail "$name: recover exited $?"; return; }
  CHECKED=$((CHECKED + 1))
  [[ -d $raw ]] || { fail "$name: no Raw Data Folder(s) under $out"; return; }

  # The deleted files, byte for byte, under Raw Data Folder(s).
  md5s "$raw" >"$WORK/$name.raw.md5"
  local want found
  want=$(cut -f1 "$IMAGES/$name.deleted" | sort -u | wc -l)
  found=$(count_found "$IMAGES/$name.deleted" "$WORK/$name.raw.md5")
  printf '%s: %d of %d deleted files byte-exact under Raw Data Folder(s) (%d%%)\n' "$name" "$found" "$want" \
    $((100 * found / want))
  ((found * 100 >= want * 95)) || fail "$name: only $found of $want deleted files came back byte-exact"

  # One folder per type, named by the type; files named by their cluster and their type.
  local bad
  bad=$(cd "$raw" && find . -mindepth 1 | awk -F/ '
    NF == 2 && $2 !~ /^(jpg|png|gif|bmp|tif|zip|html)$/ { print }
    NF == 3 && $3 !~ ("^[0-9]+\\." $2 "$") { print }
    NF > 3 { print }')
  [[ -z $bad ]] || fail "$name: unexpected names under Raw Data Folder(s): $(head -3 <<<"$bad" | tr '\n' ' ')"

  # The rebuilt tree beside them: every live file outside Raw Data Folder(s).
  find "$out" -path "$raw" -prune -o -type f -print0 | xargs -0 -r md5sum | cut -d' ' -f1 | sort -u >"$WORK/$name.tree.md5"
  want=$(cut -f1 "$IMAGES/$name.live" | sort -u | wc -l)
  found=$(count_found "$IMAGES/$name.live" "$WORK/$name.tree.md5")
  printf '%s: %d of %d live files byte-exact in the rebuilt tree\n' "$name" "$found" "$want"
  ((found == want)) || fail "$name: $found of $want live files in the rebuilt tree"

  # Without --types nothing is searched by signature, and nothing else changes.
  "$QELDA" scan "$IMAGES/$name.vmdk" --source 1 --kind advanced --fs "$fs" --list >"$WORK/$name.plain" 2>/dev/null ||
    fail "$name: plain advanced scan failed"
  "$QELDA" scan "$IMAGES/$name.vmdk" --source 1 --kind advanced --fs "$fs" --types "$TYPES" --list \
    >"$WORK/$name.typed" 2>/dev/null || fail "$name: advanced scan with --types failed"
  grep -q $'\tRaw Data Folder(s)$' "$WORK/$name.typed" || fail "$name: the listing has no Raw Data Folder(s)"
  grep -v -e $'\tRaw Data Folder(s)$' -e $'\tRaw Data Folder(s)/' "$WORK/$name.typed" >"$WORK/$name.typed-less"
  cmp -s "$WORK/$name.plain" "$WORK/$name.typed-less" ||
    fail "$name: with --types the rest of the listing differs: $(diff "$WORK/$name.plain" "$WORK/$name.typed-less" | head -3 | tr '\n' ' ')"
}

check_volume ntfs ntfs
check_volume fat32 fat
check_volume fat12 fat

# The deleted-files scan's deep branch of NTFS is the deep scan: it searches the types too.
"$QELDA" scan "$IMAGES/ntfs.vmdk" --source 1 --kind deleted --scan-type deep --types "$TYPES" --list \
  >"$WORK/deep.list" 2>/dev/null || fail "ntfs: deleted-files deep scan with --types failed"
CHECKED=$((CHECKED + 1))
n=$(grep -c $'^f\tS\t[0-9]*\tRaw Data Folder(s)/' "$WORK/deep.list")
want=$(wc -l <"$IMAGES/ntfs.deleted")
((n >= want)) || fail "ntfs: the deleted-files deep scan lists $n files under Raw Data Folder(s), $want deleted"

printf '%d volumes checked, %d failures\n' "$CHECKED" "$FAILED"
((FAILED == 0))
