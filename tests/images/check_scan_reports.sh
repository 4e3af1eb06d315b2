#!/usr/bin/env bash
# Runs the real `qelda` over the disks make_scan_report_images.sh makes and checks what a
# scan reports besides what it finds:
#  - a flat VMDK whose extent was cut, and a split one whose second extent is missing: the
#    scans run to their end (exit 0), list no more than the sound disk lists, and say on
#    stderr how many sectors they could not read (a raw scan of the whole disk reads every
#    sector, so exactly the sectors past the cut); the sound disk says nothing;
#  - a streamOptimized VMDK, none of whose sectors can be read: a raw scan of it ends with
#    the cause and exit 3, never "0 recovered";
#  - a catalogue HeaderFile.cfg that is empty, shorter than a record, or marks no type as
#    selected: the raw scan exits 3 naming the file and what is wrong with it, and the file
#    is left as it was;
#  - --types with a scan that searches no signature says it is ignored; with the FAT
#    advanced scan it is taken;
#  - a FAT volume whose folder SUB/IRAB and file "Report/draft.txt" hold '/' (one byte
#    poked into a real mkfs.fat volume) is listed as the sound volume is, those names
#    written with `\x2F`; the sound volume's listing is fls's;
#  - the lost-volume search lists the exFAT volume of 65,536 sectors mkfs.exfat made with
#    its sector count, and the size the cluster count and the sectors per cluster it
#    derives give (dump.exfat's fields).
#
#   check_scan_reports.sh BUILD_DIR IMAGES_DIR
# The disks are made by make_scan_report_images.sh and cached in BUILD_DIR/images-scan-reports.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-scan-reports
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_scan_report_images.sh" "$DISKS" || exit 1
export XDG_CONFIG_HOME=$WORK/config
read -r SECTORS CUT HALF <"$DISKS/sizes"

# scan NAME ARGS...: qelda scan ARGS, its output in WORK/NAME.out and .err, its status in RC.
scan() {
  local name=$1
  shift
  CHECKED=$((CHECKED + 1))
  guarded "$WORK/$name.out" "$WORK/$name.err" "$QELDA" scan "$@"
  RC=$?
  ((RC != 124)) || fail "$name: still running after $GUARD s"
}
# unread NAME: the count the scan said it could not read, or nothing.
unread() { sed -n 's/^qelda: \([0-9]*\) sectors\{0,1\} could not be read.*/\1/p' "$WORK/$1.err"; }
# The paths a listing holds, sorted.
paths() { cut -f4 "$WORK/$1.out" | LC_ALL=C sort; }

# ---------------------------------------------------------------- sound disks say nothing
scan sound-quick "$DISKS/fat.vmdk" --source 1 --list
((RC == 0)) || fail "quick scan of the sound disk: exit $RC: $(head -c 300 "$WORK/sound-quick.err")"
[[ -z $(unread sound-quick) ]] || fail "the sound disk's quick scan says $(unread sound-quick) sectors could not be read"
# The live files fls lists, with the folders: the same paths.
diff <(awk -F'\t' '$1 ~ /^[rd]\/[rd]/ && $2 !~ /^\$|Volume Label/ { print $2 }' "$DISKS/fat.fls" | LC_ALL=C sort) \
  <(paths sound-quick) >"$WORK/sound.diff" ||
  fail "the sound volume's listing differs from fls (< fls, > qelda): $(head -5 "$WORK/sound.diff")"
scan sound-raw "$DISKS/fat.vmdk" --source 0 --kind raw --types jpg
((RC == 0)) && [[ -z $(unread sound-raw) ]] || fail "raw scan of the sound disk: exit $RC: $(head -c 300 "$WORK/sound-raw.err")"

# ---------------------------------------------------------------- a cut and a missing extent
for disk in cut:$((SECTORS - CUT)) missing:$((SECTORS - HALF)); do
  name=${disk%%:*} lost=${disk#*:}
  scan "$name-raw" "$DISKS/fat-$name.vmdk" --source 0 --kind raw --types jpg
  ((RC == 0)) || fail "$name: raw scan of the whole disk: exit $RC, not 0: $(head -c 300 "$WORK/$name-raw.err")"
  [[ $(unread "$name-raw") == "$lost" ]] ||
    fail "$name: the raw scan says '$(unread "$name-raw")' sectors could not be read, not $lost: $(head -c 300 "$WORK/$name-raw.err")"
  # The folder Photos grew past the cut: the quick scan lists part of the sound listing and
  # says it missed some sectors, no more than the disk lost.
  for kind in quick advanced; do
    scan "$name-$kind" "$DISKS/fat-$name.vmdk" --source 1 --kind $kind --list
    ((RC == 0)) || fail "$name: $kind scan: exit $RC, not 0: $(head -c 300 "$WORK/$name-$kind.err")"
    n=$(unread "$name-$kind")
    ((${n:-0} > 0 && ${n:-0} <= lost)) ||
      fail "$name: the $kind scan says '$n' sectors could not be read, not 1 to $lost: $(head -c 300 "$WORK/$name-$kind.err")"
  done
  [[ -z $(LC_ALL=C comm -13 <(paths sound-quick) <(paths "$name-quick")) ]] ||
    fail "$name: the quick scan lists paths the sound disk's does not"
done

# ---------------------------------------------------------------- nothing readable
scan stream "$DISKS/fat-stream.vmdk" --source 0 --kind raw --types jpg
((RC == 3)) || fail "streamOptimized: raw scan exit $RC, not 3: $(head -c 300 "$WORK/stream.err")"
grep -q 'no sector the scan asked for could be read' "$WORK/stream.err" ||
  fail "streamOptimized: the cause is not said: $(head -c 300 "$WORK/stream.err")"
[[ $(unread stream) == "$SECTORS" ]] || fail "streamOptimized: '$(unread stream)' sectors said unread, not $SECTORS"
CHECKED=$((CHECKED + 1))
guarded "$WORK/stream-recover.out" "$WORK/stream-recover.err" "$QELDA" recover "$DISKS/fat-stream.vmdk" --source 0 \
  --kind raw --types jpg --out "$WORK/stream-saved"
rc=$?
((rc == 3)) || fail "streamOptimized: raw recovery exit $rc, not 3"
! grep -q 'recovered' "$WORK/stream-recover.out" || fail "streamOptimized: the recovery says $(cat "$WORK/stream-recover.out")"

# ---------------------------------------------------------------- the catalogue
CATALOGUE=$XDG_CONFIG_HOME/qelda/HeaderFile.cfg
mkdir -p "$XDG_CONFIG_HOME/qelda"
# A catalogue of the default types, none selected: byte 1057 of each 1,071-byte record.
rm -f "$CATALOGUE"
scan default-catalogue "$DISKS/fat.vmdk" --source 0 --kind raw
cp "$CATALOGUE" "$WORK/default.cfg"
python3 - "$WORK/default.cfg" "$WORK/unselected.cfg" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
assert len(data) % 1071 == 0 and data[1057] == 1, "the selected byte is not where it was"
for at in range(1057, len(data), 1071):
    data[at] = 0
open(sys.argv[2], "wb").write(data)
EOF
for bad in "empty:0:it is empty" "short:500:shorter than one record" "unselected:-:marks no file type as selected"; do
  IFS=: read -r name bytes said <<<"$bad"
  if [[ $bytes == - ]]; then cp "$WORK/unselected.cfg" "$CATALOGUE"; else head -c "$bytes" /dev/urandom >"$CATALOGUE"; fi
  before=$(md5sum <"$CATALOGUE")
  scan "catalogue-$name" "$DISKS/fat.vmdk" --source 1 --kind raw
  ((RC == 3)) || fail "a catalogue $name: exit $RC, not 3"
  grep -qF "$CATALOGUE" "$WORK/catalogue-$name.err" && grep -qF "$said" "$WORK/catalogue-$name.err" ||
    fail "a catalogue $name: the file and '$said' are not said: $(head -c 300 "$WORK/catalogue-$name.err")"
  [[ $(md5sum <"$CATALOGUE") == "$before" ]] || fail "a catalogue $name was written over"
done
cp "$WORK/default.cfg" "$CATALOGUE"

# ---------------------------------------------------------------- --types ignored, or taken
for kind in "quick:--kind quick" "deleted:--kind deleted" "deep-deleted:--kind deleted --scan-type deep" \
            "exfat-advanced:--kind advanced --fs exfat"; do
  name=${kind%%:*}
  # shellcheck disable=SC2086
  scan "types-$name" "$DISKS/fat.vmdk" --source 1 ${kind#*:} --types jpg --list
  grep -q -- '--types applies only to' "$WORK/types-$name.err" ||
    fail "--types with the $name scan is not said to be ignored: $(head -c 300 "$WORK/types-$name.err")"
done
scan types-fat-advanced "$DISKS/fat.vmdk" --source 1 --kind advanced --types jpg
((RC == 0)) || fail "--types with the FAT advanced scan: exit $RC"
! grep -q -- '--types' "$WORK/types-fat-advanced.err" || fail "--types with the FAT advanced scan is said to be ignored"
diff <(paths types-quick) <(paths sound-quick) >/dev/null ||
  fail "the quick scan with --types ignored lists other paths than without it"

# ---------------------------------------------------------------- '/' inside names
# The raw disk is searched for its volume, which is source 0 then.
scan slash "$DISKS/fat-slash.raw" --lost --source 0 --list
scan slash-sound "$DISKS/fat.raw" --lost --source 0 --list
((RC == 0)) || fail "the sound raw disk: exit $RC: $(head -c 300 "$WORK/slash-sound.err")"
# The file entry ABC/EFGH.TXT is refused as a whole by the engine's entry test (a file's
# short name may not hold '/'); the folder's short name and the file's long name are listed.
diff <(paths slash-sound | sed -e '/^ABCDEFGH\.TXT$/d' -e 's|^SUBDIRAB|SUB\\x2FIRAB|' \
         -e 's|^Report draft\.txt$|Report\\x2Fdraft.txt|') <(paths slash) \
  >"$WORK/slash.diff" ||
  fail "the names holding '/' are not listed as the sound ones with \\x2F (< expected, > qelda): $(head -6 "$WORK/slash.diff")"
grep -qF 'SUB\x2FIRAB/INNER.TXT' "$WORK/slash.out" || fail "no SUB\\x2FIRAB/INNER.TXT in $(paths slash | head -5)"
# fls reads the long name as it is, '/' and all.
grep -qP '^r/r \d+:\tReport/draft\.txt$' "$DISKS/fat-slash.fls" || fail "fls lists no Report/draft.txt"

# ---------------------------------------------------------------- the lost exFAT volume's size
CHECKED=$((CHECKED + 1))
guarded "$WORK/lost.out" "$WORK/lost.err" "$QELDA" lost "$DISKS/exfat-lost.raw"
V=$(sed -n 's/^Volume Length(sectors):[[:space:]]*//p' "$DISKS/exfat.dump")
C=$(sed -n 's/^Cluster Count:[[:space:]]*//p' "$DISKS/exfat.dump")
((V == 65536 && C > 0)) || fail "dump.exfat gives $V sectors and $C clusters"
SIZE=$(awk -v s=$((C * (V / C))) 'BEGIN { printf "%.2f MB", s * 512 / 1048576 }')
line=$(grep -P '\texFAT\t' "$WORK/lost.out" | head -1)
[[ -n $line ]] || fail "the lost-volume search lists no exFAT volume: $(head -c 300 "$WORK/lost.out")"
[[ $line == *$'\t'2048$'\t'65536$'\t'"$SIZE"* ]] ||
  fail "the exFAT volume is listed as '$line', not at 2048 with 65536 sectors and '$SIZE'"

echo "$CHECKED checks, $FAILED failed"
((FAILED == 0))
