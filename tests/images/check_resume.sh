#!/usr/bin/env bash
# Saved scan information against the scan it came from, on the volumes of the MBR test
# disk (FAT16, NTFS, FAT12, FAT32, exFAT) as sparse VMDK, dynamic VDI and fixed VHD, and
# for the raw scans on disks whose free clusters hold known files (the NTFS and exFAT
# raw-scan disks, and a FAT16 disk made here with mkfs.fat and mtools, its pictures and
# archive deleted):
#  - `scan --list --save-scan F` then `resume F --list` gives the same lines;
#  - `recover` and `resume F --out` save the same files, byte for byte;
#  - the resume reads the image no more than mounting it and the saved files need (the
#    bytes read from the image's files are counted with strace): listing reads nothing of
#    the volume but an exFAT boot sector and its boot region (to check the saved volume is
#    the one found), saving no more than the files plus a little per file;
#  - hostile files (cut short, counts past the end, a bad cluster size, a path without
#    its terminator, tables that do not add up, a drive that is not attached) are refused
#    with exit status 2 and nothing listed.
#
#   check_resume.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
[[ -f $IMAGES/mbr-monosparse.vmdk ]] || { echo "no test images in $IMAGES" >&2; exit 1; }
for tool in strace mkfs.fat mcopy mdel sfdisk qemu-img; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

# The configuration folder (the raw types' catalogue, the index of saved scans) is our own.
export XDG_CONFIG_HOME=$WORK/config

# Bytes the command reads from the files of the image's folder (the image and its
# extents; the scan information lives elsewhere), its own output thrown away.
image_bytes() {
  local folder
  folder=$(dirname "$1"); shift
  strace -f -qq -y -e trace=pread64,read -o "$WORK/trace" "$@" >/dev/null 2>&1
  grep -F "<$folder/" "$WORK/trace" | awk -F'= ' '{ s += $NF } END { print s + 0 }'
}

# A FAT16 volume that held five pictures and an archive, deleted again: their bytes are
# left in free clusters for the raw scan. Behind an MBR, as a sparse VMDK.
make_fat_raw_disk() {  # make_fat_raw_disk FOLDER
  local d=$1 carve=$IMAGES-carve f
  mkdir -p "$d"
  mkfs.fat -F 16 -C "$d/vol.img" 32768 >/dev/null || return 1
  local planted=(magick.jpg pillow.gif plain.zip pillow_named.png magick_core.bmp)
  for f in "${planted[@]}"; do [[ -f $carve/$f ]] || { echo "no $carve/$f" >&2; return 1; }; done
  (cd "$carve" && mcopy -i "$d/vol.img" "${planted[@]}" ::/ && mcopy -i "$d/vol.img" word.docx ::/kept.docx) || return 1
  for f in "${planted[@]}"; do mdel -i "$d/vol.img" "::/$f" || return 1; done
  truncate -s $(((2048 + 65536) * 512)) "$d/disk.raw"
  printf 'label: dos\nstart=2048, size=65536, type=6\n' | sfdisk -q "$d/disk.raw" || return 1
  dd if="$d/vol.img" of="$d/disk.raw" bs=1M seek=1 conv=notrunc,sparse status=none || return 1
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$d/disk.raw" "$d/fat-raw.vmdk" || return 1
  rm -f "$d/vol.img" "$d/disk.raw"
}
make_fat_raw_disk "$WORK/fatraw" || { echo "the FAT raw-scan disk could not be made" >&2; exit 1; }

MBR=$IMAGES/mbr-monosparse.vmdk
NTFS_RAW=$IMAGES-ntfs/ntfs-raw-disk.vmdk
EXFAT_RAW=$IMAGES-exfat/exfat-disk.vmdk
FAT_RAW=$WORK/fatraw/fat-raw.vmdk
RAW_TYPES=jpg,tif,bmp,gif,png,rar,zip,au,doc,xls,ppt,docx,xlsx,pptx,html,avi

# image | source | the file-system text `qelda info` gives it | scan options. The full
# table on the VMDK; each volume's quick scan on the VDI and VHD (the same volumes through
# other readers).
CASES=(
  "$MBR|1|FAT|--kind quick"
  "$MBR|1|FAT|--kind deleted"
  "$MBR|1|FAT|--kind advanced"
  "$MBR|1|FAT|--kind raw --types jpg,png,zip"
  "$MBR|2|NTFS|--kind quick"
  "$MBR|2|NTFS|--kind deleted"
  "$MBR|2|NTFS|--kind deleted --scan-type deep"
  "$MBR|2|NTFS|--kind advanced --fs ntfs"
  "$MBR|3|FAT|--kind quick"
  "$MBR|3|FAT|--kind deleted --scan-type deep"
  "$MBR|4|FAT32|--kind quick"
  "$MBR|4|FAT32|--kind deleted"
  "$MBR|4|FAT32|--kind advanced"
  "$MBR|4|FAT32|--kind quick --linking contiguous"
  "$MBR|5|exFAT|--kind quick"
  "$MBR|5|exFAT|--kind deleted"
  "$MBR|5|exFAT|--kind deleted --scan-type deep"
  "$MBR|5|exFAT|--kind raw --types jpg,png,zip"
  "$FAT_RAW|1|FAT|--kind raw --types $RAW_TYPES"
  "$NTFS_RAW|1|NTFS|--kind raw --types $RAW_TYPES"
  "$NTFS_RAW|1|NTFS|--kind advanced --fs ntfs"
  "$EXFAT_RAW|1|exFAT|--kind raw --types $RAW_TYPES"
)
declare -A MBR_FS=([1]=FAT [2]=NTFS [3]=FAT [4]=FAT32 [5]=exFAT)
for image in mbr-dynamic.vdi mbr-fixed.vhd; do
  for n in 1 2 3 4 5; do CASES+=("$IMAGES/$image|$n|${MBR_FS[$n]}|--kind quick"); done
done

mounted=()
declare -A MOUNT_BYTES
for case in "${CASES[@]}"; do
  IFS='|' read -r image source want_fs opts <<<"$case"
  name=$(basename "$image")
  tag="$name source $source $opts"
  read -ra scan_opts <<<"$opts"
  CHECKED=$((CHECKED + 1))
  fs=$("$QELDA" info "$image" | awk -F'\t' -v n="$source" '$1 == n { print $4 }')
  [[ $fs == "$want_fs" ]] || { fail "$tag: the source is '$fs', not $want_fs"; continue; }
  [[ -n ${MOUNT_BYTES[$image]:-} ]] || MOUNT_BYTES[$image]=$(image_bytes "$image" "$QELDA" info "$image")

  saved=$WORK/scan.qsi
  rm -rf "$saved" "$WORK/a" "$WORK/b"
  "$QELDA" scan "$image" --source "$source" "${scan_opts[@]}" --list --save-scan "$saved" >"$WORK/scanned" ||
    { fail "$tag: scan --save-scan exited $?"; continue; }
  "$QELDA" resume "$saved" --image "$image" --list >"$WORK/resumed" || { fail "$tag: resume --list exited $?"; continue; }
  # A raw scan of a disk made for it must find something, or its round trip proves nothing.
  if [[ $opts == *"--kind raw"* && $image != "$MBR" ]] && ! grep -q $'^f\tS' "$WORK/scanned"; then
    fail "$tag: the scan found no file by its signature"
  fi
  cmp -s "$WORK/scanned" "$WORK/resumed" || fail "$tag: the resumed listing differs: $(diff "$WORK/scanned" "$WORK/resumed" | head -4)"

  "$QELDA" recover "$image" --source "$source" "${scan_opts[@]}" --out "$WORK/a" >/dev/null ||
    { fail "$tag: recover exited $?"; continue; }
  "$QELDA" resume "$saved" --image "$image" --out "$WORK/b" >/dev/null || { fail "$tag: resume --out exited $?"; continue; }
  diff -r "$WORK/a" "$WORK/b" >/dev/null || fail "$tag: the resumed files differ: $(diff -rq "$WORK/a" "$WORK/b" | head -3)"

  # Reads: mounting, an exFAT boot sector and its 12-sector boot region, and then only
  # what the saved files need.
  mount=${MOUNT_BYTES[$image]}
  listed=$(image_bytes "$image" "$QELDA" resume "$saved" --image "$image" --list)
  (( listed <= mount + 8192 )) || fail "$tag: listing read $listed bytes of the image, mounting alone $mount"
  rm -rf "$WORK/b"
  written=$(image_bytes "$image" "$QELDA" resume "$saved" --image "$image" --out "$WORK/b")
  files=$(find "$WORK/b" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  count=$(find "$WORK/b" -type f | wc -l)
  (( written <= mount + files + count * 8192 + 65536 )) ||
    fail "$tag: saving $count files of $files bytes read $written bytes of the image (mounting: $mount)"
done

# Every save above is recorded in the index of saved scans, one 589-byte record each.
index=$XDG_CONFIG_HOME/qelda/vhInfo
CHECKED=$((CHECKED + 1))
indexed=$(( $(stat -c %s "$index" 2>/dev/null || echo 0) / 589 ))
[[ $indexed == "${#CASES[@]}" ]] || fail "the index holds $indexed records after ${#CASES[@]} saves"

# --- folders that are each other's parents (a crafted file): every file listed is saved or
# reported. Two folders of a saved NTFS scan that hold files are made each other's parent.
CHECKED=$((CHECKED + 1))
cyclic=$WORK/cyclic.qsi
"$QELDA" scan "$MBR" --source 2 --save-scan "$cyclic" >/dev/null || fail "scan of source 2 for the cyclic file"
python3 - "$cyclic" <<'EOF_PY' || fail "cyclic: no two folders with files to join"
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
count = struct.unpack_from("<I", data, 99)[0]
first = len(data) - 1024 - count * 593
items = [first + k * 593 for k in range(count)]
ids = lambda at: struct.unpack_from("<II", data, at + 37)  # parent, id
parents_of_files = {ids(at)[0] for at in items if not data[at + 49] & 0x10}
folders = [at for at in items if data[at + 49] & 0x10 and ids(at)[1] in parents_of_files]
if len(folders) < 2: sys.exit(1)
a, b = folders[0], folders[1]
struct.pack_into("<I", data, a + 37, ids(b)[1])
struct.pack_into("<I", data, b + 37, ids(a)[1])
open(path, "wb").write(data)
EOF_PY
listed=$("$QELDA" resume "$cyclic" --image "$MBR" --list | grep -c $'^f\t')
summary=$("$QELDA" resume "$cyclic" --image "$MBR" --out "$WORK/cyclic" | tail -1)
read -r rec _ part _ _ skip _ <<<"$summary"
(( rec + part + skip == listed )) || fail "cyclic: $listed files listed, saved or reported: $summary"

# --- hostile files: each refused with exit status 2 and nothing on stdout -------------------
image=$MBR
for source in 1 5; do
  good=$WORK/good$source.qsi
  "$QELDA" scan "$image" --source "$source" --save-scan "$good" >/dev/null || { fail "scan of source $source for the hostile files"; continue; }
  size=$(stat -c %s "$good")
  poke() {  # poke FILE OFFSET HEXBYTES
    printf "$(sed 's/../\\x&/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
  }
  hostile() {  # hostile NAME EDIT...: a copy of the good file with the edit made
    local name=$1; shift
    local f=$WORK/$name.qsi
    cp "$good" "$f"
    "$@" "$f"
    CHECKED=$((CHECKED + 1))
    "$QELDA" resume "$f" --image "$image" --list >"$WORK/out" 2>"$WORK/err"
    local rc=$?
    [[ $rc == 2 ]] || fail "source $source, $name: exit status $rc, not 2"
    [[ -s $WORK/out ]] && fail "source $source, $name: listed $(wc -l <"$WORK/out") lines of a refused file"
    grep -q "could not be loaded" "$WORK/err" || fail "source $source, $name: no message: $(head -2 "$WORK/err")"
  }
  cut_short() { truncate -s $((size - 700)) "$1"; }
  header_only() { truncate -s 1024 "$1"; }
  many_items() { poke "$1" 99 ffffff7f; }           # found items past the end of the file
  many_entries() { poke "$1" 95 ffffffff; }         # source entries past the end
  long_tables() { poke "$1" 87 00000000000001; }    # engine tables past the end
  bad_cluster() { poke "$1" 59 0300; }              # 3 sectors a cluster
  open_path() { printf 'A%.0s' $(seq 520) | dd of="$1" bs=1 seek=358 conv=notrunc status=none; }
  short_map() { poke "$1" 11 01000000; }            # a cluster map that does not add up with the tables
  drive_gone() { poke "$1" 958 00; printf 'NO SUCH DRIVE' | dd of="$1" bs=1 seek=878 conv=notrunc status=none; }
  for edit in cut_short header_only many_items many_entries long_tables bad_cluster open_path drive_gone; do
    hostile "$edit" "$edit"
  done
  # The FAT tables end in the highest cluster, after the map.
  [[ $source == 1 ]] && hostile short_map short_map
done

echo "check_resume: $CHECKED checks, $FAILED failed"
[[ $FAILED == 0 ]]
