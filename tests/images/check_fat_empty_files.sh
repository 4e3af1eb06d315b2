#!/usr/bin/env bash
# Runs the real `qelda` over FAT12, FAT16 and FAT32 disks that hold empty files (made by
# tests/fat/make_fat_empty_files.sh: mkfs.fat + mtools) and holds what it finds against fls:
#  - `scan --list` (quick) lists every file fls lists, live and deleted, with fls's size;
#  - `scan --kind deleted --list` lists every deleted file fls lists, and no live one;
#  - `recover` saves every empty file fls lists as an empty file, said recovered.
# Names compare without case, and a deleted short name without its first character (lost
# with the deletion; each reader puts its own mark there).
#
#   check_fat_empty_files.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-fat-empty-files.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-fat-empty-files
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../fat/make_fat_empty_files.sh" "$DISKS" || exit 1
export XDG_CACHE_HOME=$WORK/cache

# The files of fls -r -p -l as "D|-<TAB>size<TAB>path", sorted; only deleted ones with
# `deleted`. A name component fls marks deleted by "_" loses its first character.
fls_files() {
  awk -F'\t' -v only="${2:-}" '
    $1 ~ /^r\/r / {
      deleted = ($1 ~ /\*/)
      if (only != "" && !deleted) next
      n = split($2, part, "/")
      path = ""
      for (i = 1; i <= n; i++) {
        c = part[i]
        if (substr(c, 1, 1) == "_") c = "?" substr(c, 2)
        path = path (i > 1 ? "/" : "") c
      }
      print (deleted ? "D" : "-") "\t" $7 "\t" tolower(path)
    }' "$1" | sort
}
# The same of a `scan --list`: "f<TAB>flags<TAB>size<TAB>path", deleted short names' "X"
# (the rest of such a name in one case: in lower case where its case flags say so).
qelda_files() {
  awk -F'\t' '
    $1 == "f" {
      n = split($4, part, "/")
      path = ""
      for (i = 1; i <= n; i++) {
        c = part[i]
        if (c ~ /^X[^a-z]*$/ || c ~ /^X[^A-Z]*$/) c = "?" substr(c, 2)
        path = path (i > 1 ? "/" : "") c
      }
      print (index($2, "D") ? "D" : "-") "\t" $3 "\t" tolower(path)
    }' "$1" | sort
}

for bits in 12 16 32; do
  disk=$DISKS/fat$bits.vmdk
  for kind in quick deleted; do
    CHECKED=$((CHECKED + 1))
    guarded "$WORK/list" "$WORK/err" "$QELDA" scan "$disk" --kind "$kind" --list
    guard_passed "fat$bits scan --kind $kind" $? "$WORK/err" || continue
    if [[ $kind == quick ]]; then fls_files "$DISKS/fat$bits.fls" >"$WORK/want"; else fls_files "$DISKS/fat$bits.fls" deleted >"$WORK/want"; fi
    qelda_files "$WORK/list" >"$WORK/got"
    diff "$WORK/want" "$WORK/got" >"$WORK/diff" || fail "fat$bits $kind scan: files differ from fls (< fls, > qelda): $(tr '\n\t' '; ' <"$WORK/diff")"
  done

  CHECKED=$((CHECKED + 1))
  rm -rf "$WORK/rec"
  guarded "$WORK/out" "$WORK/err" "$QELDA" recover "$disk" --out "$WORK/rec"
  guard_passed "fat$bits recover" $? "$WORK/err" || continue
  empties=0
  while IFS=$'\t' read -r head path _ _ _ _ size _; do
    [[ $head == r/r* && $size == 0 && $head != *'*'* ]] || continue
    empties=$((empties + 1))
    saved=$(grep -ixF "[Recovered] $path" "$WORK/out" | head -1)
    [[ -n $saved ]] || { fail "fat$bits recover: $path not said recovered"; continue; }
    file=$WORK/rec/$(find "$WORK/rec" -ipath "$WORK/rec/$path" -printf '%P\n' | head -1)
    [[ -f $file && ! -s $file ]] || fail "fat$bits recover: $path not saved as an empty file"
  done <"$DISKS/fat$bits.fls"
  ((empties >= 4)) || fail "fat$bits: fls lists $empties live empty files, the disk holds 4"
done

echo "check_fat_empty_files: $CHECKED checks, $FAILED failed"
((FAILED == 0))
