#!/usr/bin/env bash
# Runs the real `qelda` over the FAT disks of uncommon geometry (make_fat_geometry.sh) and
# holds what it gives against The Sleuth Kit's reading of the same volumes:
#  - volumes of one FAT copy (FAT16, FAT32), of 1024-byte sectors (FAT16, two) and of
#    4096-byte sectors (FAT16): the quick scan lists the live files and folders fls lists,
#    with their sizes; the deleted-files scan lists every deleted file and folder fls lists;
#    the advanced scan lists every live file; every file that recover saves from the quick
#    and the deleted-files scans equals what icat reads;
#  - one FAT copy: `--linking fat2` does not apply (said on stderr), and the files are still
#    saved through the one copy;
#  - scan information saved from a volume of one FAT copy saves, resumed, the same files;
#  - the lost-volume search finds the 1024-byte-sector volume on its disk once the partition
#    table is emptied, where it starts, and no larger than the disk; its deep search takes
#    the directories of a listed volume of one copy for that volume's, not for lost ones;
#  - a volume whose clusters are larger than 64 KiB (4096-byte sectors, 32 a cluster) is
#    refused: exit 3, its sector size as the cause;
#  - a FAT32 of 512-byte clusters whose files lack the archive bit (attribute 0x07 filling the
#    root's first cluster, 0x00 and 0x01 in a folder after them) is listed and saved as the
#    others are, and there names are compared with their case: short names in lower case by
#    their case flags are shown so;
#  - names as other systems and slot reuse leave them (FAT12, FAT16, FAT32; the quick, deleted,
#    deep deleted and advanced scans, and the deleted scan of the volume found by the
#    lost-volume search once its table is emptied): short names with blanks inside keep them
#    ("PAD 0000. NG", "COV 0000.ER", "low 0000.txt", deleted "XAE 0002. NG"); a deleted long
#    name whose farthest piece's slot a new short entry took is no name, its short entry's
#    ("XONGFI~1.TXT") is shown, never the cut "longfilename_alpha_and_mor"; a deleted name
#    filling its last piece keeps it whole; each is saved [Recovered] as written.
# Names are otherwise compared without case; fls shows the lost first character of a deleted
# short name as '_', the engine as 'X'.
#
#   check_fat_geometry.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-fat-geometry.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-fat-geometry
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_fat_geometry.sh" "$DISKS" || exit 1
export XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/config

# EXACT=1: names are compared with their case.
EXACT=0
lower() { if ((EXACT)); then cat; else tr '[:upper:]' '[:lower:]'; fi; }
# The path fls gives an entry as the engine names it (without case unless EXACT).
engine_path() { if ((EXACT)); then sed -E 's#(^|/)_#\1X#g'; else sed -E 's#(^|/)_#\1x#g' | lower; fi; }

# fls -l lines of user entries, as "KIND<TAB>DELETED<TAB>INODE<TAB>SIZE<TAB>path" (KIND d
# or f, DELETED * or -).
fls_entries() {
  awk -F'\t' '
    { split($1, h, " "); del = h[2] == "*" ? "*" : "-"; n = del == "*" ? h[3] : h[2]; sub(/:$/, "", n) }
    h[1] != "r/r" && h[1] != "d/d" { next }
    $2 ~ /^\$/ { next }
    { print (h[1] == "d/d" ? "d" : "f") "\t" del "\t" n "\t" $7 "\t" $2 }' "$1"
}

# saved_equal WHAT FOLDER NAME LISTED: every file of fls (deleted ones too when LISTED says
# D) that the listing LISTED holds was saved under FOLDER equal to what icat reads.
saved_equal() {
  local what=$1 folder=$2 name=$3 deleted=$4 kind del inode size path got n=0
  while IFS=$'\t' read -r kind del inode size path; do
    [[ $kind == f ]] || continue
    [[ $del == "-" || $deleted == D ]] || continue
    [[ $del == "*" && $deleted != D ]] && continue
    [[ $del == "-" && $deleted == D ]] && continue
    got=$(cd "$folder" && find . -type f -printf '%P\n' | awk -v p="$(engine_path <<<"$path")" -v exact="$EXACT" '(exact ? $0 : tolower($0)) == p' | head -1)
    if [[ -z $got ]]; then
      fail "$what: $path not saved"
    elif ! cmp -s "$folder/$got" "$DISKS/$name.files/$inode"; then
      fail "$what: $path differs from icat's"
    fi
    n=$((n + 1))
  done < <(fls_entries "$DISKS/$name.fls")
  ((n > 0)) || fail "$what: no file to compare"
}

check_volume() {
  local name=$1 image=$DISKS/$1.vmdk out=$WORK/$1
  mkdir -p "$out"
  fls_entries "$DISKS/$name.fls" >"$out/fls"

  # Quick scan: the live entries, with file sizes.
  if run_checked "$name quick scan" "$out/quick" "$QELDA" scan "$image" --source 1 --list; then
    awk -F'\t' '$2 == "-" { print $1 " " ($1 == "f" ? $4 " " : "") $5 }' "$out/fls" | lower | sort >"$out/quick.want"
    awk -F'\t' '$2 !~ /D/ { print $1 " " ($1 == "f" ? $3 " " : "") $4 }' "$out/quick" | lower | sort >"$out/quick.got"
    diff -u "$out/quick.want" "$out/quick.got" >"$out/quick.diff" || fail "$name: quick listing differs from fls:
$(head -20 "$out/quick.diff")"
  fi

  # Deleted-files scan: every deleted entry fls lists (the engine also walks deleted folders
  # whose entries fls does not show).
  if run_checked "$name deleted scan" "$out/deleted" "$QELDA" scan "$image" --source 1 --kind deleted --list; then
    awk -F'\t' '$2 ~ /D/ { print $1 " " $4 }' "$out/deleted" | lower | sort >"$out/deleted.got"
    local kind del inode size path n=0
    while IFS=$'\t' read -r kind del inode size path; do
      [[ $del == "*" ]] || continue
      n=$((n + 1))
      grep -qxF -- "$kind $(engine_path <<<"$path")" "$out/deleted.got" || fail "$name: deleted $path (fls) not listed"
    done <"$out/fls"
    ((n > 0)) || fail "$name: fls lists nothing deleted"
  fi

  # Advanced scan: every live file, wherever it places it.
  if run_checked "$name advanced scan" "$out/advanced" "$QELDA" scan "$image" --source 1 --kind advanced --list; then
    awk -F'\t' '$1 == "f" && $2 !~ /D/ { print $4 }' "$out/advanced" | lower | sort -u >"$out/advanced.got"
    awk -F'\t' '$1 == "f" && $2 == "-" { print $5 }' "$out/fls" | lower | while IFS= read -r path; do
      grep -qxF -- "$path" "$out/advanced.got" || echo "$path"
    done >"$out/advanced.missing"
    [[ -s $out/advanced.missing ]] && fail "$name: advanced scan misses $(head -3 "$out/advanced.missing" | paste -sd' ')"
  fi

  # What recover saves, against icat.
  run_checked "$name recover" "$out/rec.out" "$QELDA" recover "$image" --source 1 --out "$out/rec" &&
    saved_equal "$name recover" "$out/rec" "$name" -
  run_checked "$name recover deleted" "$out/drec.out" "$QELDA" recover "$image" --source 1 --kind deleted --out "$out/drec" &&
    saved_equal "$name recover --kind deleted" "$out/drec" "$name" D
}

for name in fat16-one fat32-one fat16-1k fat16-1k-few fat16-4k; do check_volume "$name"; done
EXACT=1 check_volume fat32-attr

# One FAT copy: no second one to link by.
for name in fat16-one fat32-one; do
  if run_checked "$name --linking fat2" "$WORK/link.out" "$QELDA" recover "$DISKS/$name.vmdk" --source 1 --linking fat2 \
    --out "$WORK/link-$name"; then
    grep -q -- '--linking fat2 does not apply' "$WORK/err" || fail "$name --linking fat2: not said: $(head -c 200 "$WORK/err")"
    saved_equal "$name --linking fat2" "$WORK/link-$name" "$name" -
  fi
done

# Scan information of a volume of one copy, resumed.
for name in fat16-one fat32-one; do
  run_checked "$name --save-scan" "$WORK/saved.out" "$QELDA" scan "$DISKS/$name.vmdk" --source 1 --save-scan "$WORK/$name.scan" &&
    run_checked "$name resume" "$WORK/resumed.out" "$QELDA" resume "$WORK/$name.scan" --image "$DISKS/$name.vmdk" \
      --out "$WORK/resumed-$name" &&
    saved_equal "$name resume" "$WORK/resumed-$name" "$name" -
done

# The lost-volume search on the disk of the 1024-byte-sector volume, its table emptied.
lost=$WORK/lost-1k.vmdk
cp --sparse=always "$DISKS/fat16-1k.vmdk" "$lost"
printf 'label: dos\n' | sfdisk -q "$lost" 2>/dev/null
if run_checked "fat16-1k lost" "$WORK/lost.out" "$QELDA" lost "$lost"; then
  disk_sectors=$(($(stat -c %s "$lost") / 512))
  awk -F'\t' -v end="$disk_sectors" '$4 == "FAT" && $5 == 2048 && $6 > 0 && $5 + $6 <= end { ok = 1 } END { exit !ok }' \
    "$WORK/lost.out" || fail "fat16-1k lost: no FAT volume at sector 2048 within the disk: $(head -3 "$WORK/lost.out")"
fi

# The deep search over the disks of one copy, their volumes listed: nothing rebuilt.
for name in fat16-one fat32-one; do
  if run_checked "$name lost --deep" "$WORK/deep.out" "$QELDA" lost "$DISKS/$name.vmdk" --deep; then
    grep -q 'Adv Vol' "$WORK/deep.out" && fail "$name lost --deep: rebuilt volumes reported: $(grep 'Adv Vol' "$WORK/deep.out" | head -2)"
  fi
done

# names_listed WHAT LISTING FOLDER DELETED: every file of FOLDER is in LISTING by its name and
# size, deleted or not as DELETED (1 or 0) says; with the deleted ones, no cut long name is.
names_listed() {
  local what=$1 listing=$2 folder=$3 deleted=$4 f base
  for f in "$folder"/*; do
    base=$(basename "$f")
    awk -F'\t' -v n="$base" -v size="$(stat -c %s "$f")" -v del="$deleted" '
      { k = split($4, p, "/") }
      $1 == "f" && p[k] == n && $3 == size && ($2 ~ /D/) == (del == 1) { ok = 1 }
      END { exit !ok }' "$listing" || fail "$what: $base not listed$( ((deleted)) && echo ' deleted')"
  done
  ((deleted)) && grep -q 'longfilename_alpha' "$listing" && fail "$what: a cut long name listed: $(grep 'longfilename_alpha' "$listing" | head -1)"
  return 0
}

# names_saved WHAT FOLDER SAVED OUT: every file of FOLDER saved under SAVED equal to it, and
# said [Recovered] in the output OUT.
names_saved() {
  local what=$1 folder=$2 saved=$3 f base
  for f in "$folder"/*; do
    base=$(basename "$f")
    if ! cmp -s "$f" "$saved/$base"; then
      fail "$what: $base not saved as written"
    elif ! grep -qxF "[Recovered] $base" "$4"; then
      fail "$what: $base not [Recovered]"
    fi
  done
}

check_names() {
  local name=$1 image=$DISKS/$1.vmdk out=$WORK/$1 written=$DISKS/$1.written kind
  mkdir -p "$out"
  for kind in quick advanced; do
    if run_checked "$name $kind scan" "$out/$kind" "$QELDA" scan "$image" --source 1 --kind "$kind" --list; then
      names_listed "$name $kind scan" "$out/$kind" "$written/live" 0
      names_listed "$name $kind scan" "$out/$kind" "$written/deleted" 1
    fi
  done
  run_checked "$name deleted scan" "$out/deleted" "$QELDA" scan "$image" --source 1 --kind deleted --list &&
    names_listed "$name deleted scan" "$out/deleted" "$written/deleted" 1
  run_checked "$name deep deleted scan" "$out/deep" "$QELDA" scan "$image" --source 1 --kind deleted --scan-type deep \
    --list && names_listed "$name deep deleted scan" "$out/deep" "$written/deleted" 1
  cp --sparse=always "$image" "$out/lost.vmdk"
  printf 'label: dos\n' | sfdisk -q "$out/lost.vmdk" 2>/dev/null
  run_checked "$name lost volume" "$out/lost" "$QELDA" scan "$out/lost.vmdk" --lost --source 1 --kind deleted --list &&
    names_listed "$name lost volume" "$out/lost" "$written/deleted" 1
  run_checked "$name names recover" "$out/rec.out" "$QELDA" recover "$image" --source 1 --out "$out/rec" &&
    names_saved "$name recover" "$written/live" "$out/rec" "$out/rec.out"
  run_checked "$name names recover deleted" "$out/drec.out" "$QELDA" recover "$image" --source 1 --kind deleted \
    --out "$out/drec" && names_saved "$name recover --kind deleted" "$written/deleted" "$out/drec" "$out/drec.out"
}
for name in fat12-names fat16-names fat32-names; do check_names "$name"; done

# Clusters of 128 KiB: refused, with the sector size as the cause.
CHECKED=$((CHECKED + 1))
guarded "$WORK/big.out" "$WORK/err" "$QELDA" scan "$DISKS/fat12-4k.vmdk" --source 1 --list
rc=$?
((rc == 3)) || fail "fat12-4k: exit $rc, not 3"
grep -q '4096 bytes per sector' "$WORK/err" || fail "fat12-4k: cause not given: $(head -c 200 "$WORK/err")"

echo "check_fat_geometry: $CHECKED checks, $FAILED failed"
((FAILED == 0))
