#!/usr/bin/env bash
# The lost-volume search on the damaged disks of make_lost_images.sh, raw and inside VMDK,
# VDI and VHD images:
#  - `qelda lost` finds every volume with the start, length and file system that mmls,
#    fsstat and dump.exfat gave before the damage (a FAT volume found by its boot sector
#    with the boot sector's total, one rebuilt without it with what its FAT can address);
#  - `qelda lost --deep` of a disk of one NTFS volume lists that one volume at its start and
#    length, whatever its cluster size, with its boot sectors or its $MFT gone: the copy of
#    the first records $MFTMirr holds is no volume of its own;
#  - `qelda scan --lost --source N --list` of a found volume lists what fls -r -p listed of
#    it before the damage (FAT names compared without case: fls shows the lower-case flags
#    of short names);
#  - `qelda recover --lost` of a FAT32 volume whose FAT maps fewer sectors than its boot
#    sector gives saves every file, those in its last clusters too, as icat reads them, and
#    a FAT32 whose FAT maps more than the disk holds of it draws no note; on a disk cut short
#    the note gives what its boot sector claims.
#
#   check_lost_disks.sh BUILD_DIR IMAGES_DIR      (the disks lie in IMAGES_DIR-lost)
set -euo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
LOST=$IMAGES-lost
bash "$(dirname "$0")/make_lost_images.sh" "$LOST"   # cached; normally made by the fixture
pass() { echo "ok   $*"; CHECKED=$((CHECKED + 1)); }

# part DISK N FIELD: start or count of partition N before the damage.
part() { awk -v n="$2" -v f="$3" '$1 == n { print (f == "start" ? $2 : $3) }' "$LOST/$1.parts"; }
# NTFS: the boot sector's total sectors (fsstat's last sector + 1).
ntfs_total() { sed -n 's/^Total Sector Range: 0 - \([0-9]*\)$/\1/p' "$LOST/$1.fsstat" | awk '{ print $1 + 1 }'; }
# FAT: the boot sector's total sectors.
fat_total() { sed -n 's/^Total Range: 0 - \([0-9]*\)$/\1/p' "$LOST/$1.fsstat" | awk '{ print $1 + 1 }'; }
# FAT: what its FAT can address, sectors per cluster x FAT sectors x entries per FAT sector.
fat_reach() {
  local f=$LOST/$1.fsstat per=$2 first last cluster
  read -r first last < <(sed -n 's/^\* FAT 0: \([0-9]*\) - \([0-9]*\)$/\1 \2/p' "$f")
  cluster=$(sed -n 's/^Cluster Size: \([0-9]*\)$/\1/p' "$f")
  echo $(((last - first + 1) * per * cluster / 512))
}
exfat_length() { sed -n 's/^Volume Length(sectors):[[:space:]]*\([0-9]*\)$/\1/p' "$LOST/$1.dump.exfat"; }

# expect LIST WHAT KIND FS START COUNT: a line of `qelda lost` with these fields.
expect() {
  local list=$1 what=$2 kind=$3 fs=$4 start=$5 count=$6
  if awk -F'\t' -v k="$kind" -v f="$fs" -v s="$start" -v c="$count" \
       '$2 == k && $4 == f && $5 == s && $6 == c { found = 1 } END { exit !found }' "$list"; then
    pass "$what: $fs at $start, $count sectors (kind $kind)"
  else
    fail "$what: no $fs at $start with $count sectors (kind $kind) in:
$(cat "$list")"
  fi
}
index_of() { awk -F'\t' -v k="$2" -v f="$3" -v s="$4" '$2 == k && $4 == f && $5 == s { print $1; exit }' "$1"; }

# listing IMAGE ARGS... -- FLS CASE: scan --list of a found volume against fls.
listing() {
  local what=$1 fls=$2 fold=$3; shift 3
  awk -F'\t' '$1 !~ /\*/ && $2 !~ /^\$/ && $2 !~ /:/ && $2 !~ /\(Volume Label Entry\)$/ {
      if ($1 ~ /^d\/d/) print "d " $2; else print "f " $2 }' "$LOST/$fls" >"$WORK/want"
  if ! "$QELDA" scan "$@" --list >"$WORK/list" 2>"$WORK/err"; then
    fail "$what: scan failed: $(head -c 300 "$WORK/err")"
    return
  fi
  awk -F'\t' '$4 !~ /^\$/ { print $1 " " $4 }' "$WORK/list" >"$WORK/got"
  if [[ $fold == fold ]]; then
    tr '[:lower:]' '[:upper:]' <"$WORK/want" | LC_ALL=C sort -o "$WORK/want"
    tr '[:lower:]' '[:upper:]' <"$WORK/got" | LC_ALL=C sort -o "$WORK/got"
  else
    LC_ALL=C sort -o "$WORK/want" "$WORK/want"
    LC_ALL=C sort -o "$WORK/got" "$WORK/got"
  fi
  if [[ ! -s $WORK/want ]]; then fail "$what: fls listed nothing"; return; fi
  if diff "$WORK/want" "$WORK/got" >"$WORK/diff"; then
    pass "$what: listing equals fls ($(wc -l <"$WORK/want") items)"
  else
    fail "$what: listing differs from fls:
$(head -20 "$WORK/diff")"
  fi
}

chs_ntfs=$(ntfs_total chs-p1) chs_fat32=$(fat_total chs-p2) chs_exfat=$(exfat_length chs-p3)
mib_ntfs=$(ntfs_total mib-p1) mib_fat32=$(fat_total mib-p2) mib_exfat=$(exfat_length mib-p3)
mib_fat16=$(fat_total mib-p4) mib_fat16_reach=$(fat_reach mib-p4 256)
mib_sectors=$(($(stat -c %s "$LOST/mib.raw") / 512))

# ---- the quick search on the cylinder-aligned disk, raw (an image file) and mounted
for image in chs-wiped.raw chs-wiped.vmdk chs-wiped.vdi chs-wiped.vhd; do
  found=2 && [[ $image == *.raw ]] && found=11
  "$QELDA" lost "$LOST/$image" >"$WORK/lost" 2>"$WORK/err" || { fail "$image: lost failed: $(cat "$WORK/err")"; continue; }
  expect "$WORK/lost" "$image quick" $found NTFS "$(part chs 1 start)" "$chs_ntfs"
  expect "$WORK/lost" "$image quick" $found FAT32 "$(part chs 2 start)" "$chs_fat32"
  expect "$WORK/lost" "$image quick" $found exFAT "$(part chs 3 start)" "$chs_exfat"
  [[ $(wc -l <"$WORK/lost") -eq 3 ]] || fail "$image quick: more than the three volumes: $(cat "$WORK/lost")"
  [[ $image == *.raw ]] && continue
  listing "$image NTFS" chs-p1.fls keep "$LOST/$image" --lost --source "$(index_of "$WORK/lost" $found NTFS 63)"
done

# ---- the NTFS volume whose boot sector is gone, through its backup
"$QELDA" lost "$LOST/chs-ntfs-backup.raw" >"$WORK/lost"
expect "$WORK/lost" "chs-ntfs-backup quick" 11 NTFS 63 "$chs_ntfs"
listing "chs-ntfs-backup NTFS" chs-p1.fls keep "$LOST/chs-ntfs-backup.raw" --lost \
  --source "$(index_of "$WORK/lost" 11 NTFS 63)"

# ---- the deep search on the mebibyte-aligned disk: boot sectors everywhere
"$QELDA" lost "$LOST/mib-wiped.raw" --deep >"$WORK/lost"
expect "$WORK/lost" "mib-wiped deep" 11 NTFS "$(part mib 1 start)" "$mib_ntfs"
expect "$WORK/lost" "mib-wiped deep" 11 FAT32 "$(part mib 2 start)" "$mib_fat32"
expect "$WORK/lost" "mib-wiped deep" 11 exFAT "$(part mib 3 start)" "$mib_exfat"
expect "$WORK/lost" "mib-wiped deep" 11 FAT "$(part mib 4 start)" "$mib_fat16"
listing "mib-wiped FAT16" mib-p4.fls fold "$LOST/mib-wiped.raw" --lost --deep \
  --source "$(index_of "$WORK/lost" 11 FAT "$(part mib 4 start)")"

# ---- the deep search on the damaged disk: $MFT rebuild, exFAT backup, FAT16 rebuild
for image in mib-damaged.raw mib-damaged.vmdk mib-damaged.vdi mib-damaged.vhd; do
  found=2 rebuilt=3 && [[ $image == *.raw ]] && found=11 rebuilt=12
  "$QELDA" lost "$LOST/$image" --deep >"$WORK/lost" 2>"$WORK/err" || { fail "$image: lost failed: $(cat "$WORK/err")"; continue; }
  # A rebuilt NTFS volume reaches to the disk's end; a VHD's disk is rounded up to whole cylinders.
  sectors=$mib_sectors
  [[ $image == *.raw ]] || sectors=$("$QELDA" info "$LOST/$image" | sed -n 's/^Disk length: \([0-9]*\) sectors.*/\1/p')
  start=$(part mib 1 start)
  expect "$WORK/lost" "$image deep (\$MFT)" $rebuilt NTFS "$start" $((sectors - start))
  expect "$WORK/lost" "$image deep" $found FAT32 "$(part mib 2 start)" "$mib_fat32"
  expect "$WORK/lost" "$image deep (backup)" $found exFAT "$(part mib 3 start)" "$mib_exfat"
  expect "$WORK/lost" "$image deep (directories)" $rebuilt FAT "$(part mib 4 start)" "$mib_fat16_reach"
  listing "$image NTFS (\$MFT)" mib-p1.fls keep "$LOST/$image" --lost --deep \
    --source "$(index_of "$WORK/lost" $rebuilt NTFS "$start")"
  listing "$image FAT32" mib-p2.fls fold "$LOST/$image" --lost --deep \
    --source "$(index_of "$WORK/lost" $found FAT32 "$(part mib 2 start)")"
done

# ---- one NTFS volume, and no other from the copy of its first records in $MFTMirr
for disk in ntfs4-wiped ntfs8-wiped ntfs16-wiped ntfs64-wiped ntfs8-nomft ntfs64-damaged; do
  kind=11 && [[ $disk == *-damaged ]] && kind=12
  "$QELDA" lost "$LOST/$disk.raw" --deep >"$WORK/lost" 2>"$WORK/err" || { fail "$disk: lost failed: $(cat "$WORK/err")"; continue; }
  start=$(part "${disk%-*}" 1 start) count=$(ntfs_total "${disk%-*}-p1")
  # Rebuilt from its $MFT, the volume reaches to the disk's end.
  [[ $kind == 12 ]] && count=$(($(stat -c %s "$LOST/$disk.raw") / 512 - start))
  expect "$WORK/lost" "$disk deep" $kind NTFS "$start" "$count"
  if [[ $(wc -l <"$WORK/lost") -eq 1 ]]; then pass "$disk deep: its one volume only"
  else fail "$disk deep: more than its one volume: $(cat "$WORK/lost")"; fi
done

# ---- FAT32 volumes at their boot sectors' lengths, not at what their FATs address
"$QELDA" lost "$LOST/fatend-wiped.raw" >"$WORK/lost" 2>"$WORK/err"
expect "$WORK/lost" "fatend quick" 11 FAT32 2048 "$(fat_total fatend-p1)"
expect "$WORK/lost" "fatend quick" 11 FAT32 "$(part fatend 2 start)" "$(fat_total fatend-p2)"
if grep -q "past the end" "$WORK/err"; then fail "fatend: a note on a volume the disk holds: $(cat "$WORK/err")"
else pass "fatend: no volume said to pass the disk's end"; fi
"$QELDA" lost "$LOST/fatend-cut.raw" >"$WORK/lost-cut" 2>"$WORK/err"
expect "$WORK/lost-cut" "fatend-cut quick" 11 FAT32 "$(part fatend 2 start)" 600000
claim="claims $(fat_total fatend-p2) sectors from sector $(part fatend 2 start), past the end of the disk"
if grep -qF "$claim" "$WORK/err"; then pass "fatend-cut: the note gives the boot sector's total"
else fail "fatend-cut: no note \"$claim\": $(cat "$WORK/err")"; fi
rm -rf "$WORK/out"
if "$QELDA" recover "$LOST/fatend-wiped.raw" --lost --source "$(index_of "$WORK/lost" 11 FAT32 2048)" \
     --out "$WORK/out" >"$WORK/saved" 2>"$WORK/err"; then
  files=0
  while IFS=$'\t' read -r head path; do
    [[ $head == 'r/r '[0-9]*: && $path != *'(Volume Label Entry)' ]] || continue
    files=$((files + 1))
    timeout 120 icat -f fat32 -o 2048 "$LOST/fatend.raw" "${head//[^0-9]/}" >"$WORK/want"
    got=$(find "$WORK/out" -type f -ipath "$WORK/out/$path")
    if [[ -n $got ]] && cmp -s "$WORK/want" "$got"; then pass "fatend: $path saved as icat reads it"
    else fail "fatend: $path not saved as icat reads it: $(grep -iF "$path" "$WORK/saved")"; fi
  done <"$LOST/fatend-p1.fls"
  ((files > 10)) || fail "fatend: fls listed only $files files"
  if grep -q '^\[\(Partially Recovered\|Skipped\)\]' "$WORK/saved"; then
    fail "fatend: not every file recovered: $(cat "$WORK/saved")"
  fi
else
  fail "fatend: recover failed: $(head -c 300 "$WORK/err")"
fi

echo "$CHECKED checks passed, $FAILED failures"
((FAILED == 0 && CHECKED >= 40))
