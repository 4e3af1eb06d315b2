#!/usr/bin/env bash
# Runs the real `qelda scan` and `qelda recover` over the FAT and NTFS volumes of the MBR
# test disk (as sparse VMDK, dynamic VDI and fixed VHD) and holds what they give against
# what was written into each volume and against The Sleuth Kit's view of it:
#  - recovering a quick scan gives exactly the files and folders of content/mbr-pN/, byte
#    for byte (FAT: short names compared without case, and empty files left out, as they
#    own no cluster and are not listed; NTFS: the system files are left out); on FAT the
#    deleted hole.bin, whose clusters fragmented.bin took, is not said recovered;
#  - `scan --list` lists the live user files and folders `fls -r -p -l` lists, with sizes;
#  - a deleted-files scan of a FAT volume lists every deleted file `fls -r -p -d` lists,
#    and recovers the intact ones (content/mbr-pN.deleted/) byte for byte;
#  - recovering twice into one folder never overwrites: the second run writes " (2)" names;
#  - --mask saves only the files it matches, and only the folders leading to them;
#  - exit statuses: not an image 2, a bad option 1.
#
#   check_recover.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
ORACLE=$IMAGES/oracle
CONTENT=$IMAGES/content
[[ -d $ORACLE && -f $IMAGES/mbr.raw ]] || { echo "no test images in $IMAGES" >&2; exit 1; }
lower() { tr '[:upper:]' '[:lower:]'; }

# One line per folder ("d path") and file ("f path md5") under DIR, sorted; with FOLD set,
# paths without case and empty files left out. Paths listed in SKIP (one a line) and the
# names starting with '$' at the top are left out.
manifest() {
  local dir=$1 fold=$2 skip=${3:-/dev/null}
  (
    cd "$dir" || exit 1
    find . -mindepth 1 \( -path './$*' -prune \) -o -type d -printf 'd %P\n' -o -type f -printf 'f %P\n' |
      while IFS= read -r line; do
        local kind=${line%% *} path=${line#* }
        grep -qxF -- "$path" "$skip" && continue
        if [[ $kind == f ]]; then
          [[ $fold == 1 && ! -s $path ]] && continue
          printf 'f %s %s\n' "$path" "$(md5sum <"$path" | cut -d' ' -f1)"
        else
          printf 'd %s\n' "$path"
        fi
      done
  ) | if [[ $fold == 1 ]]; then awk '{ $2 = tolower($2) } 1' OFS=' '; else cat; fi | sort
}

# The paths `scan --list` marks deleted (D), for leaving them out of a live comparison.
deleted_paths() { awk -F'\t' '$2 ~ /D/ { print $4 }' "$1"; }

# Live user items of fls -l output as "d path" / "f path size", sorted; FOLD as above.
fls_live() {
  local fold=$1
  awk -F'\t' -v fold="$fold" '
    { split($1, head, " ") }
    head[2] == "*" { next }                                  # deleted
    head[1] != "r/r" && head[1] != "d/d" { next }
    $2 ~ /^\$/ || $2 ~ /:/ || $2 ~ /\(Volume Label Entry\)$/ { next }
    head[1] == "d/d" { print "d " (fold ? tolower($2) : $2); next }
    { print "f " (fold ? tolower($2) : $2) " " $7 }' | sort
}

list_live() {
  local fold=$1
  awk -F'\t' -v fold="$fold" '
    $2 ~ /D/ || $4 ~ /^\$/ { next }
    { p = fold ? tolower($4) : $4; print ($1 == "d" ? "d " p : "f " p " " $3) }' | sort
}

check_volume() {
  local image=$1 index=$2 fs=$3 start=$4
  local part fold=0 tag out=$WORK/v
  part=$(awk -v s="$start" '$2 == s { print $1 }' "$ORACLE/mbr.parts")
  [[ -n $part ]] || { fail "$image: no partition of mbr.raw starts at $start"; return; }
  [[ $fs == NTFS ]] || fold=1
  tag="$(basename "$image") source $index (mbr-p$part $fs)"
  rm -rf "$out" && mkdir -p "$out"
  CHECKED=$((CHECKED + 1))

  # The listing against fls.
  if ! "$QELDA" scan "$image" --source "$index" --list >"$out/list" 2>"$out/err"; then
    fail "$tag: scan --list failed: $(head -c 300 "$out/err")"
    return
  fi
  fls -r -p -l -o "$start" "$IMAGES/mbr.raw" | fls_live "$fold" >"$out/fls.want"
  list_live "$fold" <"$out/list" >"$out/fls.got"
  diff -u "$out/fls.want" "$out/fls.got" >"$out/fls.diff" || fail "$tag: listing differs from fls:
$(head -20 "$out/fls.diff")"

  # Everything recovered, against what was written into the volume.
  if ! "$QELDA" recover "$image" --source "$index" --out "$out/rec" >"$out/rec.out" 2>"$out/err"; then
    fail "$tag: recover failed: $(head -c 300 "$out/err")"
    return
  fi
  deleted_paths "$out/list" >"$out/deleted"
  # Every live file whole; of the deleted ones, on FAT hole.bin's clusters were given to
  # fragmented.bin since, and it is not (ntfs-3g left them free).
  grep '^\[Partially Recovered\]\|^\[Skipped\]' "$out/rec.out" | sed -E 's/^\[[A-Za-z ]+\] //' |
    grep -vxF -f "$out/deleted" >"$out/notwhole" && fail "$tag: not every file recovered:
$(head -5 "$out/notwhole")"
  [[ $fs != NTFS ]] && grep -qix '\[Recovered\] .ole\.bin' "$out/rec.out" && fail "$tag: hole.bin, its clusters reused, said recovered"
  manifest "$CONTENT/mbr-p$part" "$fold" >"$out/want"
  manifest "$out/rec" "$fold" "$out/deleted" >"$out/got"
  diff -u "$out/want" "$out/got" >"$out/diff" || fail "$tag: recovered files differ from content/mbr-p$part:
$(head -20 "$out/diff")"

  [[ $fs == NTFS ]] && return
  # The deleted-files scan: what fls -d lists, and the intact deleted files byte for byte.
  if ! "$QELDA" scan "$image" --source "$index" --kind deleted --list >"$out/dlist" 2>"$out/err"; then
    fail "$tag: deleted scan failed: $(head -c 300 "$out/err")"
    return
  fi
  local path n=0
  while IFS= read -r path; do
    n=$((n + 1))
    # fls shows the lost first character of a deleted short name as '_', the engine as 'X'.
    path=$(sed -E 's#(^|/)_#\1x#g' <<<"$path" | lower)
    awk -F'\t' '$1 == "f" && $2 ~ /D/ { print tolower($4) }' "$out/dlist" | grep -qxF -- "$path" ||
      fail "$tag: deleted file $path (fls -d) not listed"
  done < <(fls -r -p -d -o "$start" "$IMAGES/mbr.raw" | awk -F'\t' '$1 ~ /^r\/r \*/ && $2 !~ /^\$/ { print $2 }')
  ((n > 0)) || fail "$tag: fls -d lists no deleted file to compare with"
  "$QELDA" recover "$image" --source "$index" --kind deleted --out "$out/drec" >/dev/null 2>&1 ||
    fail "$tag: recover --kind deleted failed"
  (cd "$CONTENT/mbr-p$part.deleted" && find . -type f -printf '%P\n') | while IFS= read -r path; do
    cmp -s "$CONTENT/mbr-p$part.deleted/$path" "$out/drec/$path" || fail "$tag: deleted $path not recovered intact"
  done
}

# Every FAT and NTFS volume of the disk, in three image formats.
for image in mbr-monosparse.vmdk mbr-dynamic.vdi mbr-fixed.vhd; do
  while IFS=$'\t' read -r index kind name fs start count size; do
    [[ $index =~ ^[0-9]+$ && $kind == 1 ]] || continue
    case $fs in
      FAT | FAT32 | NTFS) check_volume "$IMAGES/$image" "$index" "$fs" "$start" ;;
    esac
  done < <("$QELDA" info "$IMAGES/$image")
done

image=$IMAGES/mbr-monosparse.vmdk
# The existing-file policy: a second recovery into the same folder adds " (2)" names and
# leaves every file of the first run as it was.
twice=$WORK/twice
"$QELDA" recover "$image" --source 2 --out "$twice" >/dev/null 2>&1
manifest "$twice" 0 >"$WORK/first"
"$QELDA" recover "$image" --source 2 --out "$twice" >"$WORK/second.out" 2>&1 || fail "second recovery failed"
manifest "$twice" 0 | grep -vE '^f .* \([0-9]+\)(\.[^/ ]*)? [0-9a-f]{32}$' >"$WORK/after"
diff -q "$WORK/first" "$WORK/after" >/dev/null || fail "a second recovery changed files of the first"
(cd "$twice" && find . -path './$*' -prune -o -type f ! -name '* (2)*' -printf '%P\n') | while IFS= read -r path; do
  dir=$(dirname "$path") base=$(basename "$path")
  if [[ $base == ?*.* ]]; then second="${base%.*} (2).${base##*.}"; else second="$base (2)"; fi
  cmp -s "$twice/$path" "$twice/$dir/$second" || fail "second recovery: no equal '$dir/$second' beside $path"
done
grep -q "^\[Recovered\] Docs/Reports/notes (2).txt$" "$WORK/second.out" || fail "second recovery did not report the (2) name"
CHECKED=$((CHECKED + 1))

# --mask: the matching files and the folders that lead to them, nothing else.
"$QELDA" recover "$image" --source 2 --mask '*.txt' --out "$WORK/mask" >/dev/null 2>&1 || fail "recover --mask failed"
# The quick scan's deleted-files pass adds the volume's deleted files; they are not in the content.
deleted=$("$QELDA" scan "$image" --source 2 --list | awk -F'\t' '$2 ~ /D/ && $1 == "f" { print "f " $4 }')
got=$(cd "$WORK/mask" && find . -mindepth 1 -printf '%y %P\n' | grep -v '^. \$' | grep -vxF -f <(printf '%s\n' "$deleted") | sort)
want=$(cd "$CONTENT/mbr-p2" && find . -mindepth 1 -name '*.txt' -printf '%y %P\n' | sort
  printf 'd Docs\nd Docs/Reports\nd Docs/Reports/2021\n')
[[ $got == "$(sort <<<"$want")" ]] || fail "--mask '*.txt' saved:
$got"
CHECKED=$((CHECKED + 1))

# Exit statuses.
expect_status() {
  local want=$1 what=$2
  shift 2
  "$@" >"$WORK/status.out" 2>"$WORK/status.err"
  local got=$?
  ((got == want)) || fail "$what: exit $got, not $want"
  if ((want >= 2)) && [[ ! -s $WORK/status.err ]]; then fail "$what: nothing said on stderr"; fi
  CHECKED=$((CHECKED + 1))
}
# (Random bytes named .vmdk would mount as a disk without layout: a VDI must have its header.)
head -c 65536 /dev/urandom >"$WORK/junk.vdi"
expect_status 2 "random bytes as an image" "$QELDA" scan "$WORK/junk.vdi"
expect_status 2 "a text file as an image" "$QELDA" recover "$0" --out "$WORK/none"
exfat=$("$QELDA" info "$image" | awk -F'\t' '$4 == "exFAT" { print $1; exit }')
expect_status 0 "an exFAT volume" "$QELDA" scan "$image" --source "$exfat"
expect_status 0 "a deep deleted-files scan of a FAT volume" "$QELDA" scan "$image" --kind deleted --scan-type deep
expect_status 1 "an unknown option" "$QELDA" scan "$image" --frobnicate
expect_status 1 "a bad --kind" "$QELDA" scan "$image" --kind sideways
expect_status 1 "recover without --out" "$QELDA" recover "$image"
expect_status 1 "a source that does not exist" "$QELDA" scan "$image" --source 99

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
