#!/usr/bin/env bash
# Checks the source list that `qelda info` prints against the real tools' view of the
# test disks:
#  - every partitioned disk, in every image format it was converted to, lists exactly the
#    data partitions that mmls lists (no extended containers, no unallocated space, no
#    Linux partitions), at mmls's starts and lengths, with the file system that fsstat (or
#    dump.exfat, for exFAT) found in each;
#  - every Windows dynamic disk lists the volumes that ldmtool describes on that disk: each
#    simple volume and mirror copy whose file system fsstat recognises, and the first piece
#    of a spanned volume when it begins with a boot sector; never a striped or RAID-5
#    piece, never anything else.
#
#   check_source_list.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
ORACLE=$IMAGES/oracle
[[ -d $ORACLE ]] || { echo "no test images in $IMAGES" >&2; exit 1; }

# A raw disk can only be mounted through an image format: a monolithicFlat descriptor
# beside a link to it presents it as a VMDK.
as_vmdk() {
  local raw=$1 name sectors
  name=$(basename "$raw" .raw)
  [[ $raw == *.img ]] && name=$(basename "$raw" .img)
  sectors=$(($(stat -L -c %s "$raw") / 512))
  ln -sf "$raw" "$WORK/$name.flat"
  printf '# Disk DescriptorFile\ncreateType="monolithicFlat"\nRW %d FLAT "%s" 0\n' "$sectors" "$name.flat" >"$WORK/$name.vmdk"
  printf '%s\n' "$WORK/$name.vmdk"
}

# Writes the volume lines of `qelda info IMAGE` to FILE as "start count filesystem", sorted;
# checks on the way that the whole disk comes first and that the volumes are numbered and
# named in order. Runs in this shell, so that its failures count.
listed_volumes() {
  local image=$1 file=$2 prefix out idx kind name fs start count size n=0
  case ${image##*.} in vmdk) prefix=VMDK ;; vdi) prefix=VDI ;; vhd) prefix=VHD ;; esac
  : >"$file"
  if ! out=$("$QELDA" info "$image" 2>"$WORK/stderr"); then
    fail "$image: qelda info failed ($(head -c 200 "$WORK/stderr"))"
    return 1
  fi
  while IFS=$'\t' read -r idx kind name fs start count size; do
    [[ $idx =~ ^[0-9]+$ ]] || continue
    if ((idx == 0)); then
      [[ $kind == 0 ]] || fail "$image: entry 0 is of kind $kind, not the whole disk"
      continue
    fi
    n=$((n + 1))
    [[ $idx == "$n" && $kind == 1 ]] || fail "$image: line '$idx $kind $name' out of order"
    [[ $name == "$prefix-Vol $((n - 1))" ]] || fail "$image: volume $n is named '$name'"
    printf '%s %s %s\n' "$start" "$count" "$fs" >&3
  done <<<"$out" 3>"$file.unsorted"
  sort -n "$file.unsorted" >"$file"
}

# Compares the expected and the listed volumes of IMAGE; WHAT names the oracle.
compare_lists() {
  local image=$1 what=$2
  if ! diff -u "$WORK/expected" "$WORK/listed" >"$WORK/diff"; then
    fail "$image: source list differs from $what (- expected, + listed)"
    sed -n '3,$p' "$WORK/diff"
  else
    printf 'ok   %s: %d volumes\n' "$image" "$(wc -l <"$WORK/expected")"
  fi
}

# --- partitioned disks -------------------------------------------------------------------

# The file system name qelda gives the volume that the oracle files of partition N describe.
oracle_fs() {
  local disk=$1 n=$2 type
  if [[ -f $ORACLE/$disk-p$n.fsstat ]]; then
    type=$(sed -n 's/^File System Type: *//p' "$ORACLE/$disk-p$n.fsstat")
    case $type in FAT12 | FAT16) echo FAT ;; FAT32) echo FAT32 ;; NTFS) echo NTFS ;; *) echo "?$type" ;; esac
  elif [[ -f $ORACLE/$disk-p$n.dump.exfat ]]; then
    echo exFAT
  else
    echo "?none"
  fi
}

# "start count filesystem" of the data partitions of raw disk NAME, sorted.
expected_volumes() {
  local disk=$1 raw=$IMAGES/$1.raw linux start len n
  # Linux partitions hold no volume the walk lists, whatever is in them.
  linux=$(sfdisk -d "$raw" 2>/dev/null | sed -n 's/.*start= *\([0-9]*\),.*type=\(83\|0FC63DAF-8483-4772-8E79-3D69D8477DE4\)\b.*/\1/p')
  awk '$2 ~ /^[0-9]+(:[0-9]+)?$/ { print $3 + 0, $5 + 0 }' "$ORACLE/$disk.mmls" |
    while read -r start len; do
      grep -qx "$start" <<<"$linux" && continue
      n=$(awk -v s="$start" '$2 == s { print $1 }' "$ORACLE/$disk.parts")
      printf '%s %s %s\n' "$start" "$len" "$(oracle_fs "$disk" "$n")"
    done | sort -n
}

check_disk() {
  local disk=$1 image
  shift
  [[ -f $IMAGES/$disk.raw && -f $ORACLE/$disk.mmls ]] || { fail "$disk: raw disk or mmls output missing"; return; }
  expected_volumes "$disk" >"$WORK/expected"
  grep -q '?' "$WORK/expected" && fail "$disk: a partition without a known file system: $(tr '\n' ';' <"$WORK/expected")"
  for image in "$(as_vmdk "$IMAGES/$disk.raw")" "$@"; do
    [[ $image == /* ]] || image=$IMAGES/$image
    if [[ ! -f $image ]]; then fail "$image: missing"; continue; fi
    CHECKED=$((CHECKED + 1))
    listed_volumes "$image" "$WORK/listed" || continue
    compare_lists "${image#"$IMAGES"/}" mmls/fsstat
  done
}

check_disk mbr mbr-monoflat.vmdk mbr-monosparse.vmdk mbr-static.vdi mbr-dynamic.vdi mbr-fixed.vhd mbr-dynamic.vhd
check_disk gpt gpt-monosparse.vmdk gpt-dynamic.vdi gpt-fixed.vhd
check_disk mbr-4prim
check_disk sample sample.vmdk
check_disk big big-monosparse.vmdk big-2gbflat/big.vmdk big-2gbsparse/big.vmdk

# --- dynamic disks -----------------------------------------------------------------------

# Fields of the JSON object on stdin: one key whose value is a list prints one item a
# line; several keys print their values on one line; no key prints the items of a list.
# A missing key prints nothing.
json_get() {
  python3 -c '
import json, sys
v = json.load(sys.stdin)
keys = sys.argv[1:]
if not keys:
    print("\n".join(map(str, v)))
elif len(keys) == 1 and isinstance(v.get(keys[0]), list):
    print("\n".join(map(str, v[keys[0]])))
else:
    print(" ".join("" if v.get(k) is None else str(v.get(k)) for k in keys))
' "$@"
}

check_ldm() {
  local dir=$IMAGES/ldm args=() img g v d p type ord dev dstart start size fs sum
  # The Windows disks come from the shared test data beside the checkout; without it there is nothing to check.
  [[ -d $dir ]] || { skip_without_images "$dir: missing (no shared test data beside the checkout)" || fail "$dir: missing"; return; }
  command -v ldmtool >/dev/null || { fail "ldmtool is not installed"; return; }
  for img in "$dir"/*.img; do args+=(-d "$img"); done
  ldm() { ldmtool "${args[@]}" "$@" 2>/dev/null; }

  # ldmtool's view, one line per partition: device volume type ordinal data-start start size.
  : >"$WORK/ldm-partitions"
  for g in $(ldm scan | json_get); do
    declare -A devOf=() dataStartOf=()
    for d in $(ldm show diskgroup "$g" | json_get disks); do
      read -r dstart dev < <(ldm show disk "$g" "$d" | json_get data-start device)
      devOf[$d]=$dev
      dataStartOf[$d]=$dstart
    done
    for v in $(ldm show diskgroup "$g" | json_get volumes); do
      type=$(ldm show volume "$g" "$v" | json_get type)
      ord=0
      for p in $(ldm show volume "$g" "$v" | json_get partitions); do
        read -r d start size < <(ldm show partition "$g" "$p" | json_get disk start size)
        dev=${devOf[$d]:-}
        [[ -n $dev ]] && printf '%s %s/%s %s %d %s %s %s\n' "$(basename "$dev")" "$g" "$v" "$type" "$ord" \
          "${dataStartOf[$d]}" "$start" "$size" >>"$WORK/ldm-partitions"
        ord=$((ord + 1))
      done
    done
    unset devOf dataStartOf
  done
  [[ -s $WORK/ldm-partitions ]] || { fail "ldmtool described no partition"; return; }

  for img in "$dir"/*.img; do
    dev=$(basename "$img")
    : >"$WORK/expected"
    while read -r _ v type ord dstart start size; do
      fs=''
      case $type in
        simple | mirrored)
          # Each mirror copy is a whole volume; fsstat tells what is in it.
          fs=$(timeout 60 fsstat -o $((dstart + start)) "$img" 2>/dev/null | sed -n 's/^File System Type: *//p')
          case $fs in FAT12 | FAT16) fs=FAT ;; esac ;;
        spanned)
          # Only the first piece starts with the boot sector; the rest of the volume (its
          # MFT, say) may be on another disk, so no tool reads it from this one alone.
          if ((ord == 0)); then
            case $(dd if="$img" bs=512 skip=$((dstart + start)) count=1 status=none | head -c 8 | tail -c 5) in
              'NTFS ') fs=NTFS ;;
              EXFAT) fs=exFAT ;;
            esac
          fi ;;
      esac
      [[ -z $fs ]] && continue
      # The listed length covers this volume's pieces on this disk.
      sum=$(awk -v d="$dev" -v v="$v" '$1 == d && $2 == v { s += $7 } END { print s }' "$WORK/ldm-partitions")
      printf '%s %s %s\n' $((dstart + start)) "$sum" "$fs" >>"$WORK/expected"
    done < <(awk -v d="$dev" '$1 == d' "$WORK/ldm-partitions")
    sort -n -o "$WORK/expected" "$WORK/expected"
    CHECKED=$((CHECKED + 1))
    listed_volumes "$(as_vmdk "$img")" "$WORK/listed" || continue
    compare_lists "ldm/$dev" ldmtool
  done
}
check_ldm

printf '%d images checked, %d failures\n' "$CHECKED" "$FAILED"
((FAILED == 0))
