#!/usr/bin/env bash
# Runs the real `qelda` on the disks make_cli_disks.sh makes and holds what it gives against
# what was written and against The Sleuth Kit:
#  - a raw scan of the whole disk limited by --raw-range FIRST-LAST saves, byte for byte, the
#    files that lie in the range and none of the others; the same scan without a range finds
#    all of them (HTML pages ending in CR LF, LF and nothing, each byte-exact); a range past
#    the disk's end is cut to it and said on stderr;
#  - --raw-range volume with --source naming a volume searches that volume's sectors only;
#  - the raw scans of the FAT32 volume and of an NTFS volume save their deleted HTML pages
#    byte for byte;
#  - usage errors of --raw-range exit 1 with a message: a sector range on a volume source,
#    "volume" on the whole disk, FIRST > LAST, not numbers, another scan kind;
#  - an exFAT volume (partition type 07) whose first sector is zeroed is listed as exFAT,
#    and `scan --list` of it lists the live files and folders fls listed before the damage;
#  - --mask on a FAT camera card takes names without regard to case, as the volume does:
#    '*.jpg' saves its IMG_000N.JPG, '*.TXT' every .txt and .TXT, 'été*' the names in É and
#    é, each byte for byte as written and listed by fls;
#  - what a user mistypes (an unknown option, a value no option takes, a word too many, a
#    missing value, an unknown command) is named on stderr before the usage, with exit 1;
#  - the whole disk (source 0) given to any scan but the raw one is said to need --kind raw,
#    with exit 3 as before, by scan and by recover.
#
#   check_cli_disks.sh BUILD_DIR DISKS_DIR
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$IMAGES
[[ -f $DISKS/.stamp ]] || { echo "no disks in $DISKS" >&2; exit 1; }
# The file-type catalogue is written there, away from the user's.
export XDG_CONFIG_HOME=$WORK/config

# ---------------------------------------------------------------- --raw-range
DISK=$DISKS/range-disk.vmdk
mapfile -t FILES < <(cut -f1 "$DISKS/range-files.tsv")
mapfile -t STARTS < <(cut -f2 "$DISKS/range-files.tsv")
mapfile -t PARTS < <(cut -f4 "$DISKS/range-files.tsv")

# The md5 of every file saved under DIR, sorted.
saved_md5() { find "$1" -type f -exec md5sum {} + 2>/dev/null | cut -d' ' -f1 | sort; }
# The md5 of the written files named by index.
written_md5() { local i; for i in "$@"; do md5sum <"$DISKS/range/${FILES[i]}" | cut -d' ' -f1; done | sort; }

# raw_check WHAT "RANGE ARGS" INDEX...: a raw recovery with those arguments saves exactly the
# files of those indexes, byte for byte.
raw_check() {
  local what=$1 args=$2 out
  shift 2
  out=$WORK/raw-$CHECKED
  CHECKED=$((CHECKED + 1))
  # shellcheck disable=SC2086
  if ! "$QELDA" recover "$DISK" --kind raw --types png,html $args --out "$out" >"$out.log" 2>"$out.err"; then
    fail "$what: recover failed: $(head -c 300 "$out.err")"
    return
  fi
  diff <(written_md5 "$@") <(saved_md5 "$out") >"$out.diff" ||
    fail "$what: saved files differ from the written ones in the range (< written, > saved):
$(head -20 "$out.diff")"
}

# The index of a file by its name.
at() { local i; for i in "${!FILES[@]}"; do [[ ${FILES[i]} == "$1" ]] && { echo "$i"; return; }; done; echo -1; }
# The indexes of the files whose first sector lies in FIRST..LAST.
starting_in() { local i; for i in "${!FILES[@]}"; do ((STARTS[i] >= $1 && STARTS[i] <= $2)) && echo "$i"; done; }

all=() p2=() deleted=()
for i in "${!FILES[@]}"; do
  all+=("$i")
  [[ ${PARTS[i]} == 2 ]] && p2+=("$i")
  [[ ${FILES[i]} == p1-deleted-* ]] && deleted+=("$i")
done
((${#FILES[@]} == 15 && ${#p2[@]} == 6 && ${#deleted[@]} == 3)) ||
  fail "range-files.tsv lists ${#FILES[@]} files (${#p2[@]} on the second volume, ${#deleted[@]} deleted), not 15 (6, 3)"
# From the first sector of one page of the FAT32 volume to the sector before its last picture.
FIRST=${STARTS[$(at p1-lf.html)]} LAST=$((STARTS[$(at p1-picture2.png)] - 1))
mapfile -t inner < <(starting_in "$FIRST" "$LAST")
((${#inner[@]} == 4)) || fail "$FIRST-$LAST holds ${#inner[@]} files, not 4"
ONE=$(at p2-lf.html)

raw_check "the whole disk" "--source 0" "${all[@]}"
raw_check "--raw-range $FIRST-$LAST" "--source 0 --raw-range $FIRST-$LAST" "${inner[@]}"
# The range holds only the page's first sector: the page is still read whole.
raw_check "a range of one page's first sector" "--source 0 --raw-range ${STARTS[ONE]}-${STARTS[ONE]}" "$ONE"
raw_check "--raw-range volume of the FAT16 volume" "--source 2 --raw-range volume" "${p2[@]}"
# The raw scan of the FAT32 volume itself searches its free clusters: the deleted pages.
raw_check "deleted pages of the FAT32 volume" "--source 1" "${deleted[@]}"

# Past the disk's end: cut, said, and the rest found.
CHECKED=$((CHECKED + 1))
"$QELDA" scan "$DISK" --source 0 --kind raw --types png,html --raw-range "${STARTS[${p2[0]}]}-99999999999" --list \
  >"$WORK/past.list" 2>"$WORK/past.err"
status=$?
((status == 0)) || fail "a range past the disk's end: exit $status"
grep -q 'past the disk' "$WORK/past.err" || fail "a range past the disk's end is not said: $(head -c 300 "$WORK/past.err")"
found=$(awk -F'\t' '$1 == "f"' "$WORK/past.list" | wc -l)
((found == ${#p2[@]})) || fail "a range past the disk's end found $found files, not the ${#p2[@]} of the second volume"

expect_usage() {  # expect_usage WHAT ARGS...: exit 1 and a message on stderr
  local what=$1 status
  shift
  CHECKED=$((CHECKED + 1))
  "$QELDA" scan "$DISK" "$@" >/dev/null 2>"$WORK/usage.err"
  status=$?
  ((status == 1)) || fail "$what: exit $status, not 1"
  [[ -s $WORK/usage.err ]] || fail "$what: no message"
}
expect_usage "a sector range on a volume source" --source 1 --kind raw --types png --raw-range 0-100
expect_usage "volume on the whole disk" --source 0 --kind raw --types png --raw-range volume
expect_usage "FIRST > LAST" --source 0 --kind raw --types png --raw-range 100-50
expect_usage "not numbers" --source 0 --kind raw --types png --raw-range ten-twenty
expect_usage "a negative number" --source 0 --kind raw --types png --raw-range -5-20
expect_usage "one number" --source 0 --kind raw --types png --raw-range 100
expect_usage "a number too large for 64 bits" --source 0 --kind raw --types png --raw-range 0-99999999999999999999
expect_usage "a range that starts past the disk's end" --source 0 --kind raw --types png --raw-range 99999999-99999999
expect_usage "a range on a quick scan" --source 0 --raw-range 0-100
expect_usage "no range given" --source 0 --kind raw --types png --raw-range

# ---------------------------------------------------------------- deleted pages on NTFS
# The raw scan of the NTFS volume searches its free clusters: every deleted page, byte for byte.
CHECKED=$((CHECKED + 1))
out=$WORK/ntfs-html
if ! "$QELDA" recover "$DISKS/ntfs-html.vmdk" --source 1 --kind raw --types html --out "$out" >"$out.log" 2>"$out.err"; then
  fail "raw recovery of the NTFS volume failed: $(head -c 300 "$out.err")"
else
  diff <(md5sum "$DISKS/ntfs-html"/*.html | cut -d' ' -f1 | sort) <(saved_md5 "$out") >"$out.diff" ||
    fail "the deleted pages of the NTFS volume differ from those written (< written, > saved):
$(head -20 "$out.diff")"
fi

# ---------------------------------------------------------------- exFAT without its boot sector
IMAGE=$DISKS/exfat-damaged.vmdk
CHECKED=$((CHECKED + 1))
line=$("$QELDA" info "$IMAGE" 2>"$WORK/info.err" | awk -F'\t' '$5 == 2048')
fs=$(cut -f4 <<<"$line")
[[ $fs == exFAT ]] || fail "the volume at sector 2048 is listed as '${fs}', not exFAT: $line"
index=$(cut -f1 <<<"$line")
CHECKED=$((CHECKED + 1))
if ! "$QELDA" scan "$IMAGE" --source "${index:-1}" --list >"$WORK/exfat.list" 2>"$WORK/exfat.err"; then
  fail "scan --list of the damaged exFAT volume failed: $(head -c 300 "$WORK/exfat.err")"
else
  # Live files and folders as "d path" / "f path size": fls before the damage, the scan after.
  awk -F'\t' '{ split($1, head, " ") }
    head[2] == "*" || (head[1] != "r/r" && head[1] != "d/d") { next }
    $2 ~ /^\$/ || $2 ~ /\(Volume Label Entry\)$/ { next }
    head[1] == "d/d" { print "d " $2; next }
    { print "f " $2 " " $7 }' "$DISKS/exfat-damaged.fls" | sort >"$WORK/exfat.want"
  awk -F'\t' '$2 ~ /D/ || $4 ~ /^\$/ { next } { print ($1 == "d" ? "d " $4 : "f " $4 " " $3) }' \
    "$WORK/exfat.list" | sort >"$WORK/exfat.got"
  [[ -s $WORK/exfat.want ]] || fail "fls listed nothing before the damage"
  diff -u "$WORK/exfat.want" "$WORK/exfat.got" >"$WORK/exfat.diff" ||
    fail "scan --list of the damaged exFAT volume differs from fls before the damage:
$(head -20 "$WORK/exfat.diff")"
fi

# ---------------------------------------------------------------- --mask, case aside
CARD=$DISKS/card.vmdk
# mask_check MASK PATH...: recover --mask MASK saves exactly the card's files PATH..., each as
# written (and listed by fls).
mask_check() {
  local mask=$1 out=$WORK/mask-$CHECKED path
  shift
  CHECKED=$((CHECKED + 1))
  if ! "$QELDA" recover "$CARD" --mask "$mask" --out "$out" >"$out.log" 2>"$out.err"; then
    fail "--mask '$mask': recover failed: $(head -c 300 "$out.err")"
    return
  fi
  diff <(printf '%s\n' "$@" | sort) <(cd "$out" && find . -type f -printf '%P\n' | sort) >"$out.diff" ||
    fail "--mask '$mask' saved other files than those it names (< wanted, > saved):
$(head -20 "$out.diff")"
  for path in "$@"; do
    grep -qF $'\t'"$path" "$DISKS/card.fls" || fail "--mask '$mask': fls does not list $path"
    cmp -s "$DISKS/card/$path" "$out/$path" || fail "--mask '$mask': $path is not saved as written"
  done
}
mask_check '*.jpg' DCIM/100CANON/IMG_000{1,2,3,4}.JPG
mask_check 'img_000[2-3].JpG' DCIM/100CANON/IMG_000{2,3}.JPG
mask_check '*.TXT' notes.txt README.TXT Mixed.Txt 'Été à la mer.txt' 'ÉTÉ 2024 PHOTO.TXT'
mask_check 'été*' 'Été à la mer.txt' 'ÉTÉ 2024 PHOTO.TXT'
mask_check '*.DOC' report.doc

# ---------------------------------------------------------------- what the user typed wrong
# said_wrong WHAT "FIRST LINE" ARGS...: qelda ARGS exits 1, says FIRST LINE first, then a usage.
said_wrong() {
  local what=$1 first=$2 status
  shift 2
  CHECKED=$((CHECKED + 1))
  "$QELDA" "$@" >/dev/null 2>"$WORK/wrong.err"
  status=$?
  ((status == 1)) || fail "$what: exit $status, not 1"
  [[ $(head -n 1 "$WORK/wrong.err") == "$first" ]] ||
    fail "$what: the first line says '$(head -n 1 "$WORK/wrong.err")', not '$first'"
  sed -n 2p "$WORK/wrong.err" | grep -q '^usage: qelda' || fail "$what: no usage after the cause"
}
said_wrong "a mistyped option" "qelda: --sorce: scan has no such option" scan "$CARD" --sorce 1
said_wrong "an unknown scan kind" "qelda: --kind fast: give quick, deleted, advanced or raw" scan "$CARD" --kind fast
said_wrong "a source that is no number" \
  "qelda: --source x: give the index of a source as \`qelda info\` lists them" recover "$CARD" --source x --out "$WORK/x"
said_wrong "a stray argument" "qelda: stray: one argument too many ($CARD is the image)" scan "$CARD" stray
said_wrong "a missing value" "qelda: --mask needs a value" recover "$CARD" --out "$WORK/x" --mask
said_wrong "recover without --out" "qelda: recover needs --out DIR, the folder the files are saved under" recover "$CARD"
said_wrong "a mistyped resume option" "qelda: --imgae: resume has no such option" resume x.scan --imgae "$CARD"
said_wrong "lost with two images" "qelda: b.vmdk: one argument too many ($CARD is the image)" lost "$CARD" b.vmdk
said_wrong "an unknown command" "qelda: scna is no command" scna "$CARD"
[[ ! -e $WORK/x ]] || fail "a usage error saved files"

# ---------------------------------------------------------------- the whole disk
for command in scan recover; do
  for kind in quick deleted advanced; do
    what="$command --source 0 --kind $kind"
    CHECKED=$((CHECKED + 1))
    args=()
    [[ $command == scan ]] || args=(--out "$WORK/whole")
    "$QELDA" "$command" "$DISK" --source 0 --kind "$kind" "${args[@]}" >/dev/null 2>"$WORK/whole.err"
    status=$?
    ((status == 3)) || fail "$what: exit $status, not 3"
    grep -q '^qelda: source 0 is the whole disk, which only --kind raw searches' "$WORK/whole.err" ||
      fail "$what: not said to need --kind raw: $(head -c 300 "$WORK/whole.err")"
  done
done

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
