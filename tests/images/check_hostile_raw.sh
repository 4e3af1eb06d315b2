#!/usr/bin/env bash
# Runs the real `qelda recover --kind raw` over disks where one hostile sector (or pair of
# sectors) repeats to the disk's end, at 1 MiB and at 4 MiB, each run held to 1 GiB of memory
# (ulimit -v; under the sanitizers, their own RSS limit) and ended by a hang guard:
#  - ZIP entries whose sizes follow their data, with no end record anywhere;
#  - AU sound claiming 2 GB, and AU sound of unknown length;
#  - PNG signatures with no data chunk anywhere;
#  - JPEG segments that run from each sector into the next, with and without a known header;
#  - TIFF strip offsets and strip sizes 96 KiB apart;
#  - and the same for BMP, GIF, RAR, AVI, HTML and compound documents.
# Each run must end with status 0, write no more bytes than the disk holds, and write nothing
# outside --out.
#
#   check_hostile_raw.sh BUILD_DIR IMAGES_DIR
# The disks are a few megabytes, made by this script in a temporary folder on every run.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
command -v python3 >/dev/null || { echo "python3 is missing" >&2; exit 1; }
mkdir "$WORK/cwd" "$WORK/disks"

# The disks: raw sectors named .vmdk (read as a flat VMDK without descriptor).
python3 - "$WORK/disks" <<'PY' || exit 1
import struct, sys
out = sys.argv[1]

def sector(*parts):
    s = bytearray(512)
    for at, data in parts:
        s[at:at + len(data)] = data
    return bytes(s)

be16 = lambda v: struct.pack('>H', v)
be32 = lambda v: struct.pack('>I', v)
le16 = lambda v: struct.pack('<H', v)
le32 = lambda v: struct.pack('<I', v)

ole_header = sector((0, b'\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1'), (0x1E, le16(9)), (0x2C, le32(64)), (0x30, le32(0)),
                    (0x44, le32(0xFFFFFFFE)), (0x4C, b'\xFF' * 436))
ole_directory = sector((0, 'Root Entry'.encode('utf-16-le')))
patterns = {
    'zip-descriptor': [sector((0, b'PK\x03\x04'), (6, le16(8)))],
    'au-2gb': [sector((0, b'.snd'), (4, be32(24)), (8, be32(0x7FFFFFF0)))],
    'au-unknown': [sector((0, b'.snd'), (4, be32(24)), (8, be32(0xFFFFFFFF)))],
    'png-no-data': [sector((0, b'\x89PNG\r\n\x1A\n'), (8, be32(13)), (12, b'IHDR'), (16, be32(640)), (20, be32(480)))],
    'jpeg-run-on': [sector((0, b'\xFF\xD8\xFF\xDB'), (4, be16(510)))],
    'jpeg-run-on-header': [sector((0, b'\xFF\xD8\xFF\xE0'), (4, be16(16)), (20, b'\xFF\xDB'), (22, be16(510)))],
    'tiff-far-arrays': [sector((0, b'II*\x00'), (4, le32(8)), (8, le16(2)),
                               (10, le16(0x111) + le16(4) + le32(2048) + le32(1024)),
                               (22, le16(0x117) + le16(4) + le32(2048) + le32(1024 + 96 * 1024)))],
    'bmp-40mb': [sector((0, b'BM'), (2, le32(40000000)), (10, le32(54)), (14, le32(40)))],
    'gif-run-on': [sector((0, b'GIF89a'), (13, b'\x21\xFE\xFF'), (271, b'\xFF'))],
    'rar-run-on': [sector((0, b'Rar!\x1A\x07'), (9, b'\x73'), (12, le16(13)),
                          (22, b'\x74' + le16(0x8000) + le16(32) + le32(480)))],
    'avi-run-on': [sector((0, b'RIFF'), (4, le32(0x7FFFFFF0)), (8, b'AVI JUNK'), (16, le32(504)))],
    'html-unclosed': [sector((0, b'<html><title>t</title><body>'))],
    'compound': [ole_header, ole_directory],
}
for name, period in patterns.items():
    for mib in (1, 4):
        sectors = mib * 2048
        with open(f'{out}/{name}-{mib}m.vmdk', 'wb') as f:
            f.write(b''.join(period[k % len(period)] for k in range(sectors)))
PY

for disk in "$WORK"/disks/*.vmdk; do
  name=$(basename "$disk" .vmdk)
  size=$(stat -c %s "$disk")
  out=$WORK/out-$name
  CHECKED=$((CHECKED + 1))
  (cd "$WORK/cwd" && guarded "$WORK/stdout" "$WORK/stderr" "$QELDA" recover "$disk" --source 0 --kind raw --out "$out")
  guard_passed "$name" $? "$WORK/stderr" || continue
  grep -q '^[0-9]* recovered, ' "$WORK/stdout" || fail "$name: no summary line: $(tail -c 300 "$WORK/stdout")"
  written=$(find "$out" -type f -printf '%s\n' 2>/dev/null | awk '{ s += $1 } END { print s + 0 }')
  ((written <= size)) || fail "$name: $written bytes written from a disk of $size"
  [[ -z $(ls -A "$WORK/cwd") ]] || fail "$name: left behind in its working folder: $(ls -A "$WORK/cwd" | head -3)"
  rm -rf "$out" "$WORK/cwd"/* "$WORK/cwd"/.[!.]* 2>/dev/null
done

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
