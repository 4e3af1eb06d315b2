#!/usr/bin/env bash
# Runs the real `qelda` over the disks of make_damaged_maps.sh: one FAT16 disk stored by
# qemu-img in every sub-format, then with its maps and headers damaged, and GPT disks by
# sgdisk and sfdisk with damaged tables. Checks that
#  - every sound image reads byte for byte as the raw disk, and `info` says nothing of damage;
#  - a dynamic VHD whose header (checksum right) gives an impossible block size is refused
#    with the reason (exit 2);
#  - a VHD BAT entry, a VDI block-map entry or a sparse VMDK grain-table entry past the end of
#    its file is named, with its sectors, on stderr and in `info`; every file `recover` calls
#    [Recovered] equals The Sleuth Kit's (icat), and some are [Partially Recovered];
#  - a VDI block naming another block's data is named, and never read as that block's bytes;
#  - a differencing VHD says that its parent is not read;
#  - a renamed monolithicSparse VMDK is shown with the file it is read from, not "(Missing)";
#  - a GPT whose primary header or entries fail their CRC is read from its backup, and says
#    so: both volumes are listed where mmls lists them on the sound disk, and recover whole;
#  - a GPT entry starting inside another is listed when it holds a volume, else said.
#
#   check_damaged_maps.sh BUILD_DIR IMAGES_DIR
# The disks are made by make_damaged_maps.sh and cached in BUILD_DIR/images-damaged-maps.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
MAPS=$BUILD/images-damaged-maps
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_damaged_maps.sh" "$MAPS" || exit 1
READ=$BUILD/tests/qelda_read_disk
[[ -x $READ ]] || { echo "no qelda_read_disk at $READ" >&2; exit 1; }

# info IMAGE: `qelda info IMAGE`, stdout in WORK/info, stderr in WORK/err; its status.
info() {
  CHECKED=$((CHECKED + 1))
  guarded "$WORK/info" "$WORK/err" "$QELDA" info "$1"
}
# has WHAT FILE PATTERN: FILE has a line matching PATTERN (grep -E), or a failure is said.
has() {
  grep -qE "$3" "$2" || fail "$1: no line matching '$3' in $(basename "$2"): $(head -c 400 "$2")"
}
# notes_said WHAT PATTERN: the note is on stderr and in info's description.
notes_said() {
  has "$1" "$WORK/err" "^qelda: $2"
  has "$1" "$WORK/info" "^Note: $2"
}

# recovered_against MD5 OUT LOG: "SAME DIFFERENT PARTIAL" for the "[Recovered] PATH" lines of
# LOG, PATH under OUT held against MD5 (paths compared without case: FAT short names); the
# first paths that differ on stderr.
recovered_against() {
  local md5=$1 out=$2 log=$3 path
  sed -n 's/^\[Recovered\] //p' "$log" | while IFS= read -r path; do
    printf '%s\t%s\n' "$(md5sum <"$out/$path" 2>/dev/null | cut -d' ' -f1)" "$path"
  done | awk -F'\t' -v partial="$(grep -c '^\[Partially Recovered\] ' "$log")" '
    NR == FNR { want[tolower($2)] = $1; next }
    want[tolower($2)] == $1 { same++; next }
    { if (++different <= 3) printf "  %s: %s, not %s\n", $2, $1, want[tolower($2)] > "/dev/stderr" }
    END { print same + 0, different + 0, partial }' "$md5" -
}

# check_recover WHAT MD5 WANT IMAGE ARGS...: `qelda recover`; no file [Recovered] differs from
# MD5. WANT: "all" (every file of MD5 recovered equal) or "partial" (some files, not all, and
# at least one [Partially Recovered]).
check_recover() {
  local what=$1 md5=$2 want=$3 image=$4 name same different partial files rc; shift 4
  name=recover-$CHECKED
  CHECKED=$((CHECKED + 1))
  guarded "$WORK/$name.log" "$WORK/err" "$QELDA" recover "$image" --out "$WORK/$name" "$@"
  rc=$?
  guard_passed "$what: recover" "$rc" "$WORK/err" || return
  read -r same different partial < <(recovered_against "$md5" "$WORK/$name" "$WORK/$name.log" 2>"$WORK/diff")
  files=$(wc -l <"$md5")
  ((different == 0)) || fail "$what: $different files reported [Recovered] differ from icat's: $(cat "$WORK/diff")"
  if [[ $want == all ]]; then
    ((same == files)) || fail "$what: $same of $files files recovered equal to icat's"
  else
    ((same > 0 && same < files && partial > 0)) ||
      fail "$what: $same of $files files [Recovered], $partial [Partially Recovered]: the damage is not where files need it"
  fi
  rm -rf "${WORK:?}/$name"
}

# --- the sound images: byte for byte, and nothing said ---------------------------------------
for image in vhd-dynamic.vhd vhd-fixed.vhd vdi-dynamic.vdi vdi-static.vdi vmdk-sparse.vmdk vmdk-split/disk.vmdk \
             vmdk-flat/disk.vmdk; do
  CHECKED=$((CHECKED + 1))
  cmp -s <("$READ" "$MAPS/sound/$image" 2>/dev/null | head -c "$(stat -c %s "$MAPS/disk.raw")") "$MAPS/disk.raw" ||
    fail "sound $image: does not read as the raw disk"
  info "$MAPS/sound/$image"
  guard_passed "sound $image: info" $? "$WORK/err" || continue
  ! grep -q '^Note: ' "$WORK/info" || fail "sound $image: info notes damage: $(grep '^Note: ' "$WORK/info" | head -n 2)"
  has "sound $image" "$WORK/info" $'^1\t1\t[^\t]*\tFAT\t2048\t63488\t'
done
# Compressed grains are refused as before, and nothing is said of map damage.
info "$MAPS/sound/vmdk-stream.vmdk"
! grep -q '^Note: ' "$WORK/info" || fail "sound vmdk-stream.vmdk: info notes damage"
check_recover "sound vhd-dynamic.vhd" "$MAPS/disk.md5" all "$MAPS/sound/vhd-dynamic.vhd"

# --- the block size no disk has ---------------------------------------------------------------
info "$MAPS/vhd-blocksize.vhd"
rc=$?
((rc == 2)) || fail "vhd-blocksize.vhd: info exit $rc, not 2"
has "vhd-blocksize.vhd" "$WORK/err" 'block size of 2147483648 bytes'

# --- map entries past the end of the file -----------------------------------------------------
# NAME NOTE: the block the damage took, as `info` names it.
while read -r image note; do
  info "$MAPS/$image"
  guard_passed "$image: info" $? "$WORK/err" || continue
  notes_said "$image" "$note"
  check_recover "$image" "$MAPS/disk.md5" partial "$MAPS/$image" --source 1
done <<'EOF'
vhd-bat-past-end.vhd VHD block 4 \(sectors 16384-20479\): its entry points past the end of the file
vdi-past-end.vdi VDI block 9 \(sectors 18432-20479\): its entry points past the end of the file
vmdk-grain-past-end.vmdk VMDK grain 128 \(sectors 16384-16511\): its entry points past the end of the file
vmdk-split-past-end/disk.vmdk VMDK grain 128 \(sectors 16384-16511\): its entry points past the end of the file
vdi-repeat.vdi VDI block 9 \(sectors 18432-20479\): its map entry names data block [0-9]+, as block 8.s does
EOF

# --- a differencing VHD -----------------------------------------------------------------------
info "$MAPS/vhd-differencing.vhd"
guard_passed "vhd-differencing.vhd: info" $? "$WORK/err" && notes_said "vhd-differencing.vhd" 'a differencing VHD: its parent disk is not read'

# --- a renamed sparse VMDK: shown as it is read ------------------------------------------------
info "$MAPS/vmdk-renamed.vmdk"
if guard_passed "vmdk-renamed.vmdk: info" $? "$WORK/err"; then
  has "vmdk-renamed.vmdk" "$WORK/info" '^Extent 1: SPARSE 65536 sectors vmdk-renamed\.vmdk$'
  ! grep -q 'Missing' "$WORK/info" || fail "vmdk-renamed.vmdk: $(grep Missing "$WORK/info")"
fi

# --- GPT --------------------------------------------------------------------------------------
# The volumes as mmls lists them on the sound disk: start and length of every partition slot.
mmls "$MAPS/gpt-sgdisk.raw" | awk '$2 ~ /^[0-9]+$/ { print $3 + 0, $5 + 0 }' >"$WORK/mmls"
[[ $(wc -l <"$WORK/mmls") -eq 2 ]] || fail "mmls lists $(wc -l <"$WORK/mmls") partitions on the sound GPT disk, not 2"
# listed IMAGE: "start count" of every volume `info` listed, in WORK/listed.
listed() { awk -F'\t' '$2 == 1 { print $5, $6 }' "$WORK/info" | sort -n >"$WORK/listed"; }
for disk in gpt-sgdisk gpt-sfdisk gpt-sgdisk-header gpt-sfdisk-entries; do
  cp --reflink=auto "$MAPS/$disk.raw" "$WORK/$disk.vmdk"
  info "$WORK/$disk.vmdk"
  guard_passed "$disk: info" $? "$WORK/err" || continue
  listed
  cmp -s "$WORK/listed" <(sort -n "$WORK/mmls") || fail "$disk: volumes $(tr '\n' ' ' <"$WORK/listed"), mmls: $(tr '\n' ' ' <"$WORK/mmls")"
  case $disk in
    gpt-sgdisk|gpt-sfdisk) ! grep -q '^Note: ' "$WORK/info" || fail "$disk: info notes damage: $(grep '^Note: ' "$WORK/info")" ;;
    gpt-sgdisk-header) notes_said "$disk" 'the GPT header at sector 1 fails its CRC check; the partition table is read from its backup header at sector 98303' ;;
    gpt-sfdisk-entries) notes_said "$disk" 'the GPT entries of the header at sector 1 fail their CRC check; the partition table is read from its backup header at sector 98303' ;;
  esac
done
check_recover "gpt-sgdisk-header, second volume" "$MAPS/gpt2.md5" all "$WORK/gpt-sgdisk-header.vmdk" --source 2
rm -f "$WORK"/gpt-*.vmdk

cp --reflink=auto "$MAPS/gpt-nested.raw" "$WORK/gpt-nested.vmdk"
info "$WORK/gpt-nested.vmdk"
if guard_passed "gpt-nested: info" $? "$WORK/err"; then
  listed
  [[ $(tr '\n' ' ' <"$WORK/listed") == "2048 32768 18432 16384 34816 32768 " ]] ||
    fail "gpt-nested: volumes $(tr '\n' ' ' <"$WORK/listed"), not those at 2048, 18432 and 34816"
  notes_said "gpt-nested" 'GPT entry 4 \(sectors 4096-8191\) starts inside entry 1 \(sectors 2048-34815\), and its first sector names no file system: it is not listed'
  source=$(awk -F'\t' '$2 == 1 && $5 == 18432 { print $1 }' "$WORK/info")
  [[ -n $source ]] && check_recover "gpt-nested, the volume inside another" "$MAPS/gpt3.md5" all "$WORK/gpt-nested.vmdk" --source "$source"
fi

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
