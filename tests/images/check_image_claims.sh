#!/usr/bin/env bash
# Runs the real `qelda` over images of make_damaged_maps.sh's FAT16 disk (qemu-img, every
# sub-format) whose descriptors, names and headers claim what the files do not hold:
#  - a monolithicSparse VMDK copied under another name, beside a file that has the old name
#    and holds another disk: the copy reads as itself (its own volume, none of the other's);
#    (and every file recovered from it is icat's);
#  - a monolithicFlat descriptor naming its extent by an absolute path reads that file; an
#    extent line whose start offset or size is no number is said, and never read as 0; one
#    whose size takes the disk past what any disk holds ends the disk there, with a note;
#    a createType holding ESC is printed escaped;
#  - a dynamic and a differencing VHD (footer checksum right) and a VDI claiming a disk of
#    2^60 bytes over a block map of 32 MiB: the disk is as long as the map, a note says
#    what was claimed, and `lost` runs within the memory guard; a sound 2000 GB dynamic VHD
#    keeps its length; a VDI of 2^26 map entries all naming one data block says the repeats
#    within the memory guard;
#  - snapshots made by `qemu-img create -b` (monolithicSparse and twoGbMaxExtentSparse) and a
#    VDI whose header is made differencing say that their parent is not read;
#  - a 1-byte and a one-line text .vmdk are not mounted: exit 2 with the cause, for info,
#    scan, lost and recover.
#
#   check_image_claims.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
MAPS=$BUILD/images-damaged-maps
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_damaged_maps.sh" "$MAPS" || exit 1
SOUND=$MAPS/sound
command -v qemu-img >/dev/null || { echo "qemu-img is needed" >&2; exit 1; }

# qelda_run ARGS...: `qelda ARGS`, guarded, stdout in WORK/out, stderr in WORK/err; its status.
qelda_run() {
  CHECKED=$((CHECKED + 1))
  guarded "$WORK/out" "$WORK/err" "$QELDA" "$@"
}
# has WHAT FILE PATTERN / lacks WHAT FILE PATTERN: FILE has (has not) a line matching PATTERN.
has() { grep -qE "$3" "$2" || fail "$1: no line matching '$3' in $(basename "$2"): $(head -c 400 "$2")"; }
lacks() { ! grep -qE "$3" "$2" || fail "$1: a line matches '$3' in $(basename "$2"): $(grep -m1 -E "$3" "$2")"; }
# info_ok WHAT IMAGE: `qelda info IMAGE` ends with 0.
info_ok() {
  local rc
  qelda_run info "$2"; rc=$?
  guard_passed "$1" "$rc" "$WORK/err"
}
# noted WHAT PATTERN: the last info said the note on stderr and in its description.
noted() {
  has "$1" "$WORK/err" "^qelda: $2"
  has "$1" "$WORK/out" "^Note: $2"
}
# The sound disk's one volume, and the GPT disk's second, as info lists them.
MBR_VOLUME=$'^1\t1\t[^\t]*\tFAT\t2048\t63488\t'
GPT_VOLUME=$'\tFAT\t34816\t32768\t'

# ---------------------------------------------------------------- a renamed sparse VMDK
mkdir -p "$WORK/renamed"
cp "$SOUND/vmdk-sparse.vmdk" "$WORK/renamed/backup.vmdk"
qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$MAPS/gpt-sgdisk.raw" "$WORK/renamed/vmdk-sparse.vmdk"
if info_ok "renamed sparse VMDK" "$WORK/renamed/backup.vmdk"; then
  has "renamed sparse VMDK" "$WORK/out" "$MBR_VOLUME"
  lacks "renamed sparse VMDK" "$WORK/out" "$GPT_VOLUME"
  has "renamed sparse VMDK" "$WORK/out" "^Extent 1: SPARSE 65536 sectors backup.vmdk$"
fi
# Every file recovered from the copy is the one The Sleuth Kit reads from the raw disk.
qelda_run recover "$WORK/renamed/backup.vmdk" --out "$WORK/renamed/out"
if guard_passed "renamed sparse VMDK: recover" $? "$WORK/err"; then
  got=$(cd "$WORK/renamed/out" && find . -type f -printf '%P\n' | while IFS= read -r f; do
          printf '%s\t%s\n' "$(md5sum <"$f" | cut -d' ' -f1)" "${f,,}"; done | LC_ALL=C sort -k2)
  [[ $got == "$(awk -F'\t' '{ print $1 "\t" tolower($2) }' "$MAPS/disk.md5" | LC_ALL=C sort -k2)" ]] ||
    fail "renamed sparse VMDK: the files recovered differ from icat's: $(head -c 300 <<<"$got")"
fi

# ---------------------------------------------------------------- extents by absolute path
mkdir -p "$WORK/absolute"
sed "s|\"disk-flat.vmdk\"|\"$SOUND/vmdk-flat/disk-flat.vmdk\"|" "$SOUND/vmdk-flat/disk.vmdk" >"$WORK/absolute/disk.vmdk"
grep -q "\"$SOUND/vmdk-flat/disk-flat.vmdk\"" "$WORK/absolute/disk.vmdk" || fail "absolute extent: descriptor not edited"
if info_ok "absolute extent" "$WORK/absolute/disk.vmdk"; then
  has "absolute extent" "$WORK/out" "$MBR_VOLUME"
  lacks "absolute extent" "$WORK/out" "Missing"
fi
qelda_run scan "$WORK/absolute/disk.vmdk"
guard_passed "absolute extent: scan" $? "$WORK/err"
# A start offset too long to be a number: the extent cannot be read, and the disk says so.
mkdir -p "$WORK/offset"
ln -s "$SOUND/vmdk-flat/disk-flat.vmdk" "$WORK/offset/disk-flat.vmdk"
sed -E 's|^(RW [0-9]+ FLAT "[^"]*") 0$|\1 99999999999999999999999|' "$SOUND/vmdk-flat/disk.vmdk" >"$WORK/offset/disk.vmdk"
grep -q ' 99999999999999999999999$' "$WORK/offset/disk.vmdk" || fail "extent offset: descriptor not edited"
if info_ok "extent offset not a number" "$WORK/offset/disk.vmdk"; then
  noted "extent offset not a number" "VMDK extent 1 .*offset .*99999999999999999999999.* cannot be read"
  lacks "extent offset not a number" "$WORK/out" "$MBR_VOLUME"
fi
# A size that is no number: nothing after it has a place, and the disk ends there.
sed -E 's|^RW [0-9]+ FLAT|RW 1e9 FLAT|' "$SOUND/vmdk-flat/disk.vmdk" >"$WORK/offset/size.vmdk"
if info_ok "extent size not a number" "$WORK/offset/size.vmdk"; then
  noted "extent size not a number" "VMDK extent 1 .*size \"1e9\" is not a number"
  has "extent size not a number" "$WORK/out" "^Disk length: 0 sectors "
fi
# Sizes whose bytes, or whose sum with the extents before, no disk can hold: the disk ends
# at that extent, and says so.
huge=9223372036854775807
sed -E "s|^RW [0-9]+ FLAT|RW $huge FLAT|" "$SOUND/vmdk-flat/disk.vmdk" >"$WORK/offset/huge.vmdk"
sed -E "s|^(RW [0-9]+ FLAT .*)\$|\1\nRW $((1 << 54)) FLAT \"disk-flat.vmdk\" 0|" "$SOUND/vmdk-flat/disk.vmdk" >"$WORK/offset/sum.vmdk"
# A type not read is described as long as its extents make the disk, up to the same end.
sed -E -e "s|^(RW [0-9]+ FLAT .*)\$|\1\nRW $huge FLAT \"disk-flat.vmdk\" 0|" -e 's|^createType=.*|createType="vmfs"|' \
  "$SOUND/vmdk-flat/disk.vmdk" >"$WORK/offset/unread.vmdk"
for image in huge:1:$huge:0 sum:2:$((1 << 54)):65536 unread:2:$huge:65536; do
  IFS=: read -r image extent size sectors <<<"$image"
  if info_ok "$image extent size $size" "$WORK/offset/$image.vmdk"; then
    noted "$image extent size $size" "VMDK extent $extent .*size of $size sectors .*: the disk is read only up to it"
    has "$image extent size $size" "$WORK/out" "^Disk length: $sectors sectors "
    [[ $image != sum ]] || has "$image extent size $size" "$WORK/out" "$MBR_VOLUME"
  fi
done
# Text the descriptor gives reaches the terminal escaped, never as control bytes.
sed 's|^createType=.*|createType="\x1b[31mmono"|' "$SOUND/vmdk-flat/disk.vmdk" >"$WORK/offset/escape.vmdk"
if info_ok "createType with ESC" "$WORK/offset/escape.vmdk"; then
  has "createType with ESC" "$WORK/out" '^Format: VMDK \\x1B\[31mmono$'
  lacks "createType with ESC" "$WORK/out" $'\e'
fi

# ---------------------------------------------------------------- disks claimed larger than their maps
cp "$SOUND/vhd-dynamic.vhd" "$WORK/claim.vhd"
cp "$MAPS/vhd-differencing.vhd" "$WORK/claim-differencing.vhd"
cp "$SOUND/vdi-dynamic.vdi" "$WORK/claim.vdi"
python3 - "$WORK" <<'EOF'
import struct, sys
work = sys.argv[1]
claim = 1 << 60
for name in ("claim.vhd", "claim-differencing.vhd"):
    with open(work + "/" + name, "r+b") as f:
        f.seek(0, 2); end = f.tell()
        for at in (0, end - 512):
            f.seek(at); footer = bytearray(f.read(512))
            footer[40:56] = struct.pack(">QQ", claim, claim)
            footer[64:68] = b"\0\0\0\0"
            footer[64:68] = struct.pack(">I", ~sum(footer) & 0xFFFFFFFF)
            f.seek(at); f.write(footer)
with open(work + "/claim.vdi", "r+b") as f:
    f.seek(0x170); f.write(struct.pack("<Q", claim))
EOF
# The map's length: the blocks of the sound image's header times their size.
vhd_map_sectors=$(python3 -c '
import struct, sys
h = open(sys.argv[1], "rb").read(1536)[512:]
print(struct.unpack(">I", h[28:32])[0] * struct.unpack(">I", h[32:36])[0] // 512)' "$SOUND/vhd-dynamic.vhd")
# A differencing VHD reads nothing without its parent, but its disk is no longer either.
for image in claim.vhd:$vhd_map_sectors claim-differencing.vhd:$vhd_map_sectors claim.vdi:65536; do
  sectors=${image#*:} image=${image%%:*}
  if info_ok "$image" "$WORK/$image"; then
    has "$image" "$WORK/out" "^Disk length: $sectors sectors "
    noted "$image" ".* 1152921504606846976 bytes.* $((sectors * 512)) bytes"
    [[ $image == *differencing* ]] || has "$image" "$WORK/out" "$MBR_VOLUME"
  fi
  qelda_run lost "$WORK/$image"
  guard_passed "$image: lost" $? "$WORK/err"
done
# A VDI whose 2^26 map entries all name data block 0 (a sparse file of 4 KiB on disk): every
# block but the first is a repeat, said within the memory guard, the map held once.
python3 - "$SOUND/vdi-dynamic.vdi" "$WORK/claim-repeats.vdi" <<'EOF'
import struct, sys
header = bytearray(open(sys.argv[1], "rb").read(512))
entries, block = 1 << 26, struct.unpack_from("<I", header, 0x178)[0]
struct.pack_into("<I", header, 0x154, 0x200)
struct.pack_into("<I", header, 0x158, 0x200 + entries * 4)
struct.pack_into("<Q", header, 0x170, entries * block)
struct.pack_into("<I", header, 0x180, entries)
with open(sys.argv[2], "wb") as f:
    f.write(header)
    f.truncate(0x200 + entries * 4 + block)
EOF
if info_ok "VDI of repeated blocks" "$WORK/claim-repeats.vdi"; then
  noted "VDI of repeated blocks" "VDI block 1 .*names data block 0, as block 0's does"
  noted "VDI of repeated blocks" "and $(((1 << 26) - 9)) more of the VDI blocks cannot be read"
fi
qelda_run scan "$WORK/claim-repeats.vdi"
rc=$?
((rc == 3)) || fail "VDI of repeated blocks: scan: exit $rc, not 3 (no volume): $(head -c 300 "$WORK/err")"

# A sound dynamic VHD of 2000 GB keeps the length its footer gives, without a note.
qemu-img create -q -f vpc -o subformat=dynamic "$WORK/big.vhd" 2000G
big_sectors=$(python3 -c '
import struct, sys
f = open(sys.argv[1], "rb"); f.seek(-512, 2); print(struct.unpack(">Q", f.read(512)[48:56])[0] // 512)' "$WORK/big.vhd")
if info_ok "2000 GB VHD" "$WORK/big.vhd"; then
  has "2000 GB VHD" "$WORK/out" "^Disk length: $big_sectors sectors "
  lacks "2000 GB VHD" "$WORK/out" "^Note:"
fi
qelda_run lost "$WORK/big.vhd"
guard_passed "2000 GB VHD: lost" $? "$WORK/err"
rm -f "$WORK/big.vhd" "$WORK"/claim*

# ---------------------------------------------------------------- snapshots without their parent
mkdir -p "$WORK/snap"
cp "$SOUND/vmdk-sparse.vmdk" "$WORK/snap/base.vmdk"
for sub in monolithicSparse twoGbMaxExtentSparse; do
  mkdir -p "$WORK/snap/$sub"
  qemu-img create -q -f vmdk -o subformat=$sub -b ../base.vmdk -F vmdk "$WORK/snap/$sub/snap.vmdk"
  if info_ok "$sub snapshot" "$WORK/snap/$sub/snap.vmdk"; then
    noted "$sub snapshot" ".*parent disk \"\.\./base\.vmdk\" is not read"
  fi
done
# A VDI made differencing: image type 4 and a parent's UUID, as VirtualBox writes them.
cp "$SOUND/vdi-dynamic.vdi" "$WORK/snap/diff.vdi"
python3 - "$WORK/snap/diff.vdi" <<'EOF'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(0x4C); f.write(struct.pack("<I", 4))
    f.seek(0x1A8); f.write(bytes.fromhex("78563412" "3412" "7856" "0102030405060708"))
EOF
if info_ok "differencing VDI" "$WORK/snap/diff.vdi"; then
  has "differencing VDI" "$WORK/out" "^Format: VDI Differencing$"
  noted "differencing VDI" ".*parent disk \{?12345678-1234-5678-0102-030405060708\}? is not read"
fi

# ---------------------------------------------------------------- files too short to be a disk
printf 'x' >"$WORK/one-byte.vmdk"
printf 'just one line of text\n' >"$WORK/one-line.vmdk"
for image in one-byte.vmdk one-line.vmdk; do
  for command in info scan lost recover; do
    if [[ $command == recover ]]; then qelda_run recover "$WORK/$image" --out "$WORK/short-out"
    else qelda_run "$command" "$WORK/$image"; fi
    rc=$?
    ((rc == 2)) || fail "$image: $command: exit $rc, not 2: $(head -c 300 "$WORK/err")"
    has "$image: $command" "$WORK/err" "^qelda: .*$image"
  done
done

echo "check_image_claims: $CHECKED runs, $FAILED failures"
((FAILED == 0))
