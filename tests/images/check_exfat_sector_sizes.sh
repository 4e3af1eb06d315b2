#!/usr/bin/env bash
# exFAT volumes of 4096-, 2048- and 1024-byte sectors (exfat-s4k, exfat-s2k, exfat-s1k of
# make_exfat_images.sh, made on loop devices of that sector size and filled through
# exfat-fuse), each put as partition 1 (type 07, sector 2048) of an MBR disk, held against
# The Sleuth Kit's reading of the same volume:
#  - the quick scan lists every entry fls lists, and recover saves every live file as icat
#    reads it;
#  - the deleted-files scan lists every deleted entry fls lists, and saves them as icat reads
#    them (here and below, deleted files that follow a chain excepted: they are read
#    contiguous, fls follows the stale chain);
#  - the advanced scan finds every live file under the root's directory cluster, and saves
#    nothing as [Recovered] that differs from icat (orphans: icat of fls's $OrphanFiles entry
#    of that name);
#  - the raw scan saves the deleted picture and archive as they were written;
#  - scan information saved by the quick scan and resumed saves the same live files;
#  - the lost-volume search, the partition table emptied, finds the volume at sector 2048
#    with its length in the disk's 512-byte sectors.
#
#   check_exfat_sector_sizes.sh BUILD_DIR IMAGES_DIR      (the volumes lie in IMAGES_DIR-exfat)
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
VOLUMES=$IMAGES-exfat
export XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/config LC_ALL=C.UTF-8
[[ -f $VOLUMES/exfat-s4k.img ]] || { skip_without_images "$VOLUMES/exfat-s4k.img: missing" || exit 1; exit 0; }

# fls_lines NAME: "KIND DELETED path" of every entry fls lists outside $OrphanFiles (KIND d
# or f, DELETED D or -), without the system files and the label.
fls_lines() {
  awk -F'\t' '{ split($1, h, " ") }
    $2 ~ /^\$/ || $2 ~ /\(Volume Label Entry\)$/ { next }
    { print (h[1] == "d/d" ? "d" : "f") " " (h[2] == "*" ? "D" : "-") " " $2 }' "$VOLUMES/$1.fls" | sort
}
# listed LIST: the same of a `scan --list`.
listed() { awk -F'\t' '{ print $1 " " ($2 ~ /D/ ? "D" : "-") " " $4 }' "$1" | sort; }

# icat_md5 NAME PATH: the digest of icat of the file fls lists at PATH; for a bare name, of
# the $OrphanFiles entry of that name. Empty when fls lists none.
icat_md5() {
  local name=$1 path=$2 inode
  inode=$(awk -F'\t' -v p="$path" '$4 == p { print $3; exit }' "$VOLUMES/$name.md5")
  if [[ -n $inode ]]; then
    awk -F'\t' -v p="$path" '$4 == p { print $1; exit }' "$VOLUMES/$name.md5"
    return
  fi
  inode=$(awk -F'\t' -v p="\$OrphanFiles/$path" '$2 == p { split($1, h, " "); n = h[2] == "*" ? h[3] : h[2]; sub(/:$/, "", n); print n; exit }' \
    "$VOLUMES/$name.fls")
  [[ -n $inode ]] && timeout 60 icat -f exfat "$VOLUMES/$name.img" "$inode" | md5sum | cut -d' ' -f1
}

# recovered_equal WHAT NAME DIR LOG [PREFIX-PATTERN]: every "[Recovered] PATH" of LOG, with
# the pattern cut from its front, is saved under DIR as icat reads it; how many in RECOVERED.
recovered_equal() {
  local what=$1 name=$2 dir=$3 log=$4 prefix=${5:-} path key want
  RECOVERED=0
  while IFS= read -r path; do
    key=$path
    [[ -n $prefix ]] && key=$(sed -E "s#^$prefix##" <<<"$path")
    # A deleted file that follows a chain is read contiguous; fls follows the stale chain.
    grep -qxF -- "$key" "$STALE" && continue
    want=$(icat_md5 "$name" "$key")
    if [[ -z $want ]]; then
      fail "$what: [Recovered] $path: fls lists no such file"
    elif [[ $(md5sum <"$dir/$path" | cut -d' ' -f1) != "$want" ]]; then
      fail "$what: [Recovered] $path differs from icat's"
    fi
    RECOVERED=$((RECOVERED + 1))
  done < <(sed -n 's/^\[Recovered\] //p' "$log")
}

# saved_live WHAT NAME DIR [PREFIX]: every live file of icat saved under DIR[/PREFIX] as
# icat reads it.
saved_live() {
  local what=$1 name=$2 dir=$3 prefix=${4:-} md5 mark inode path
  while IFS=$'\t' read -r md5 mark inode path; do
    [[ $mark == - ]] || continue
    if [[ ! -f $dir/$prefix$path ]]; then
      fail "$what: $path not saved"
    elif [[ $(md5sum <"$dir/$prefix$path" | cut -d' ' -f1) != "$md5" ]]; then
      fail "$what: $path differs from icat's"
    fi
  done <"$VOLUMES/$name.md5"
}

check_volume() {
  local name=$1 out=$WORK/$1 disk=$WORK/$1.vmdk sectors root
  mkdir -p "$out"
  # The volume as partition 1 of a raw MBR disk (read as a flat VMDK).
  sectors=$(($(stat -c %s "$VOLUMES/$name.img") / 512))
  truncate -s $(((sectors + 4096) * 512)) "$disk"
  printf 'label: dos\nstart=2048, size=%d, type=7\n' "$sectors" | sfdisk -q "$disk" >/dev/null 2>&1
  dd if="$VOLUMES/$name.img" of="$disk" bs=1M seek=1 conv=notrunc,sparse status=none
  root=$(sed -n 's/^Root Cluster (cluster offset):[[:space:]]*\([0-9]*\)$/\1/p' "$VOLUMES/$name.dump")

  # Quick scan: the whole listing; recover: the live files.
  STALE=$out/stale
  : >"$STALE"
  if run_checked "$name quick scan" "$out/quick" "$QELDA" scan "$disk" --source 1 --list; then
    diff <(fls_lines "$name") <(listed "$out/quick") >"$out/quick.diff" ||
      fail "$name: quick listing differs from fls:
$(head -10 "$out/quick.diff")"
    awk -F'\t' '$2 ~ /D/ && $2 ~ /C/ { print $4 }' "$out/quick" >"$STALE"
  fi
  if run_checked "$name recover" "$out/rec.log" "$QELDA" recover "$disk" --source 1 --out "$out/rec"; then
    saved_live "$name recover" "$name" "$out/rec"
    recovered_equal "$name recover" "$name" "$out/rec" "$out/rec.log"
    ((RECOVERED > 150)) || fail "$name recover: only $RECOVERED files [Recovered]"
  fi

  # Deleted-files scan: the deleted entries; what it saves of them.
  if run_checked "$name deleted scan" "$out/deleted" "$QELDA" scan "$disk" --source 1 --kind deleted --list; then
    diff <(fls_lines "$name" | awk '$2 == "D"') <(listed "$out/deleted" | awk '$2 == "D"') >"$out/deleted.diff" ||
      fail "$name: deleted listing differs from fls:
$(head -10 "$out/deleted.diff")"
    grep -q $'^f\tD.*\tDeleted report.txt$' "$out/deleted" || fail "$name: the deleted file is not listed"
  fi
  if run_checked "$name recover deleted" "$out/drec.log" "$QELDA" recover "$disk" --source 1 --kind deleted --out "$out/drec"; then
    recovered_equal "$name recover --kind deleted" "$name" "$out/drec" "$out/drec.log"
    ((RECOVERED > 0)) || fail "$name recover --kind deleted: nothing [Recovered]"
  fi

  # Advanced scan: the tree under the root's cluster, orphans in other lost folders.
  if run_checked "$name recover advanced" "$out/arec.log" "$QELDA" recover "$disk" --source 1 --kind advanced --out "$out/arec"; then
    saved_live "$name recover --kind advanced" "$name" "$out/arec" "Lost folder(s)/Folder $root/"
    recovered_equal "$name recover --kind advanced" "$name" "$out/arec" "$out/arec.log" \
      "Lost folder\(s\)/Folder ($root/)?[0-9]*/?"
    ((RECOVERED > 150)) || fail "$name recover --kind advanced: only $RECOVERED files [Recovered]"
  fi

  # Raw scan: the deleted picture and archive, as written.
  if run_checked "$name recover raw" "$out/rrec.log" "$QELDA" recover "$disk" --source 1 --kind raw --types png,zip \
    --out "$out/rrec"; then
    for f in picture.png archive.zip; do
      find "$out/rrec" -type f -exec cmp -s "$VOLUMES/raw/$f" {} \; -print | grep -q . ||
        fail "$name recover --kind raw: $f not saved as written"
    done
  fi

  # Scan information, saved and resumed.
  run_checked "$name --save-scan" "$out/saved" "$QELDA" scan "$disk" --source 1 --save-scan "$out/scan.qsi" &&
    run_checked "$name resume" "$out/resumed.log" "$QELDA" resume "$out/scan.qsi" --image "$disk" --out "$out/resumed" &&
    saved_live "$name resume" "$name" "$out/resumed"

  # The lost-volume search, the table emptied: the volume where it starts, as long as it is.
  printf 'label: dos\n' | sfdisk -q "$disk" >/dev/null 2>&1
  if run_checked "$name lost" "$out/lost" "$QELDA" lost "$disk"; then
    awk -F'\t' -v n="$sectors" '$4 == "exFAT" && $5 == 2048 && $6 == n { ok = 1 } END { exit !ok }' "$out/lost" ||
      fail "$name lost: no exFAT volume at sector 2048 of $sectors sectors: $(head -3 "$out/lost")"
  fi
  rm -f "$disk"
}

for name in exfat-s4k exfat-s2k exfat-s1k; do check_volume "$name"; done

echo "check_exfat_sector_sizes: $CHECKED checks, $FAILED failed"
((FAILED == 0))
