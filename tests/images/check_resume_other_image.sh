#!/usr/bin/env bash
# Saved scan information resumed against an image that is not the one scanned: the volume
# at the saved place must be the saved one, by its boot sector, or nothing is listed or saved.
#  - a FAT32 quick scan of one disk, resumed against a disk whose FAT32 volume at the same
#    place has its data area elsewhere (more reserved sectors; both made by mkfs.fat,
#    filled by mtools):
#    refused with exit status 2, as a foreign exFAT volume is; against its own disk it
#    saves what `recover` saves;
#  - an NTFS advanced scan of the NTFS raw-scan disk resumed against that FAT32 disk (its
#    volume lies at the same place): refused the same way; against its own disk it saves
#    what `recover` saves;
#  - the NTFS disk, and the MBR test disk's FAT16 volume, with their boot sectors (and the
#    NTFS backup) zeroed, or altered so that the scan refuses them: their advanced scans
#    resume as before, and stderr says that the image could not be checked.
#
#   check_resume_other_image.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
NTFS_RAW=$IMAGES-ntfs/ntfs-raw-disk.vmdk
for image in "$NTFS_RAW" "$IMAGES/mbr-monosparse.vmdk"; do
  [[ -f $image ]] || { skip_without_images "$image: missing" && exit 0; exit 1; }
done
for tool in mkfs.fat mcopy sfdisk qemu-img; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
export XDG_CONFIG_HOME=$WORK/config

# make_fat32_disk NAME RESERVED-SECTORS: a FAT32 volume of 131072 sectors at sector 2048
# of an MBR disk (where the NTFS raw-scan disk has its volume), holding three text files of
# its own, as a sparse VMDK.
make_fat32_disk() {
  local name=$1 reserved=$2 d=$WORK/$1 i
  mkdir -p "$d"
  mkfs.fat -F 32 -s 1 -R "$reserved" -C "$d/vol.img" 65536 >/dev/null || return 1
  for i in 1 2 3; do seq -f "$name file $i line %06g" 1 $((i * 3000)) >"$d/file$i.txt"; done
  mcopy -i "$d/vol.img" "$d/file1.txt" "$d/file2.txt" "$d/file3.txt" ::/ || return 1
  truncate -s $(((2048 + 131072) * 512)) "$d/disk.raw"
  printf 'label: dos\nstart=2048, size=131072, type=c\n' | sfdisk -q "$d/disk.raw" || return 1
  dd if="$d/vol.img" of="$d/disk.raw" bs=1M seek=1 conv=notrunc,sparse status=none || return 1
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$d/disk.raw" "$WORK/$name.vmdk" || return 1
  rm -rf "$d"
}
if ! { make_fat32_disk fat-a 32 && make_fat32_disk fat-b 40; }; then
  echo "the FAT32 disks could not be made" >&2
  exit 1
fi

# refused TAG SAVED IMAGE: the resume lists and saves nothing, exits 2 and says why.
refused() {
  local tag=$1 saved=$2 image=$3 rc
  CHECKED=$((CHECKED + 1))
  rm -rf "$WORK/out"
  "$QELDA" resume "$saved" --image "$image" --out "$WORK/out" >"$WORK/stdout" 2>"$WORK/stderr"
  rc=$?
  [[ $rc == 2 ]] || fail "$tag: exit status $rc, not 2: $(head -3 "$WORK/stdout")"
  grep -q "does not describe the volume of the saved scan" "$WORK/stderr" ||
    fail "$tag: no reason given: $(head -2 "$WORK/stderr")"
  [[ -n $(find "$WORK/out" -type f 2>/dev/null) ]] && fail "$tag: files were saved from the other image"
  grep -q '\[Recovered\]' "$WORK/stdout" && fail "$tag: a file was reported recovered"
}

# resumed TAG SAVED IMAGE SOURCE OPTIONS...: the resume saves what `recover` saves.
resumed() {
  local tag=$1 saved=$2 image=$3 source=$4 rc
  shift 4
  CHECKED=$((CHECKED + 1))
  rm -rf "$WORK/a" "$WORK/b"
  "$QELDA" recover "$image" --source "$source" "$@" --out "$WORK/a" >/dev/null 2>&1 || { fail "$tag: recover exited $?"; return; }
  "$QELDA" resume "$saved" --image "$image" --out "$WORK/b" >/dev/null 2>"$WORK/stderr"
  rc=$?
  [[ $rc == 0 ]] || { fail "$tag: resume exited $rc: $(head -2 "$WORK/stderr")"; return; }
  [[ -n $(find "$WORK/b" -type f) ]] || fail "$tag: nothing saved"
  diff -r "$WORK/a" "$WORK/b" >/dev/null || fail "$tag: the resumed files differ: $(diff -rq "$WORK/a" "$WORK/b" | head -3)"
}

# --- a FAT scan against another FAT disk
"$QELDA" scan "$WORK/fat-a.vmdk" --source 1 --kind quick --save-scan "$WORK/fat.qsi" >/dev/null ||
  fail "FAT: scan --save-scan exited $?"
refused "FAT scan against another FAT32 disk" "$WORK/fat.qsi" "$WORK/fat-b.vmdk"
resumed "FAT scan against its own disk" "$WORK/fat.qsi" "$WORK/fat-a.vmdk" 1 --kind quick
CHECKED=$((CHECKED + 1))
grep -q "could not be checked" "$WORK/stderr" && fail "FAT: a sound volume was said not to be checked"

# --- an NTFS advanced scan against the FAT32 disk
"$QELDA" scan "$NTFS_RAW" --source 1 --kind advanced --fs ntfs --save-scan "$WORK/ntfs.qsi" >/dev/null ||
  fail "NTFS: scan --save-scan exited $?"
refused "NTFS advanced scan against a FAT32 disk" "$WORK/ntfs.qsi" "$WORK/fat-b.vmdk"
resumed "NTFS advanced scan against its own disk" "$WORK/ntfs.qsi" "$NTFS_RAW" 1 --kind advanced --fs ntfs

# --- volumes without boot sectors: nothing to compare, which is said
# without_boot_sectors TAG IMAGE FS SECTOR...: IMAGE with those disk sectors zeroed (or
# SECTOR:OFFSET:HEX, bytes written there); its advanced scan, resumed, lists and saves what
# the scan did and says the image was not checked.
without_boot_sectors() {
  local tag=$1 image=$2 fs=$3 d=$WORK/noboot-$RANDOM at
  shift 3
  mkdir -p "$d"
  if grep -q 'createType="monolithicFlat"' "$image" 2>/dev/null; then
    # Its extents, in order, are the disk.
    sed -n 's/^RW [0-9]* FLAT "\(.*\)" 0$/\1/p' "$image" | while read -r extent; do
      cat "$(dirname "$image")/$extent"
    done >"$d/disk.raw"
  else
    qemu-img convert -f vmdk -O raw "$image" "$d/disk.raw" || { fail "$tag: convert"; return; }
  fi
  for at in "$@"; do
    if [[ $at == *:* ]]; then
      IFS=: read -r sector offset hex <<<"$at"
      printf "$(sed 's/../\\x&/g' <<<"$hex")" |
        dd of="$d/disk.raw" bs=1 seek=$((sector * 512 + offset)) conv=notrunc status=none
    else
      dd if=/dev/zero of="$d/disk.raw" bs=512 seek="$at" count=1 conv=notrunc status=none
    fi
  done
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$d/disk.raw" "$d/noboot.vmdk" || { fail "$tag: convert"; return; }
  rm -f "$d/disk.raw"
  "$QELDA" scan "$d/noboot.vmdk" --source 1 --kind advanced --fs "$fs" --list --save-scan "$d/noboot.qsi" >"$WORK/scanned" ||
    { fail "$tag: scan --save-scan exited $?"; return; }
  CHECKED=$((CHECKED + 1))
  grep -q $'^f\t' "$WORK/scanned" || fail "$tag: the scan found no file"
  "$QELDA" resume "$d/noboot.qsi" --image "$d/noboot.vmdk" --list >"$WORK/resumed" 2>"$WORK/stderr" ||
    fail "$tag: resume --list exited $?"
  cmp -s "$WORK/scanned" "$WORK/resumed" || fail "$tag: the resumed listing differs"
  grep -q "the image could not be checked" "$WORK/stderr" ||
    fail "$tag: stderr does not say the image could not be checked: $(head -2 "$WORK/stderr")"
  resumed "$tag, saving" "$d/noboot.qsi" "$d/noboot.vmdk" 1 --kind advanced --fs "$fs"
}
# NTFS: the volume's first sector and the backup at its last; the FAT16 volume of the MBR
# test disk: its boot sector (it has no backup).
without_boot_sectors "NTFS without boot sectors" "$NTFS_RAW" ntfs 2048 $((2048 + 131072 - 1))
without_boot_sectors "FAT16 without a boot sector" "$IMAGES/mbr-monosparse.vmdk" fat 2048
# A boot sector that still reads as one but that the scan refuses (260 sectors a FAT, more
# than FAT16 has) is this volume's, damaged, not another volume's.
without_boot_sectors "FAT16 with a refused boot sector" "$IMAGES/mbr-monosparse.vmdk" fat 2048:22:0401
# The same for NTFS: its $MFT put past the volume's end, the backup zeroed.
without_boot_sectors "NTFS with a refused boot sector" "$NTFS_RAW" ntfs 2048:48:0000100000000000 $((2048 + 131072 - 1))

echo "check_resume_other_image: $CHECKED checks, $FAILED failed"
[[ $FAILED == 0 ]]
