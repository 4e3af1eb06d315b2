#!/usr/bin/env bash
# Runs the real `qelda` over hostile disks and hostile surroundings, each run held to 1 GiB
# of memory (ulimit -v; under the sanitizers, their own RSS limit) and ended by a hang
# guard, and checks that each gives a result a user can read:
#  - partition entries (MBR, GPT) and dynamic-disk volumes that claim far more sectors than
#    the disk holds are listed as claimed, noted on stderr, and scanned and recovered within
#    the disk, file for file as The Sleuth Kit and the files written into them say;
#  - a dynamic disk that repeats one volume's records 1000 times lists that volume once;
#  - names holding tabs, line feeds, backslashes, ESC, CR, DEL and C1 controls give exactly
#    one line of four fields per item in `scan --list`, escaped as the README says (held
#    against fls), and one line per file in `recover`, while the saved files keep them;
#  - a file under 30 levels of 200-character names is recovered;
#  - 8000 files of one name in one folder are saved as "SAME.TXT" ... "SAME (8000).TXT";
#  - an extent that is a FIFO, a folder or a character device is a missing extent, and an
#    image that is a FIFO is not an image: nothing waits on them;
#  - `recover` into a folder that already holds symlinks (to folders, to files, dangling),
#    FIFOs and existing names writes nothing outside it and overwrites nothing.
#
#   check_hostile.sh BUILD_DIR IMAGES_DIR
# The hostile disks are made by make_hostile_images.sh and cached in BUILD_DIR/images-hostile.
set -uo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
HOSTILE=$BUILD/images-hostile
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_hostile_images.sh" "$HOSTILE" || exit 1

# qelda runs in cwd/; the script keeps its own files in s/ (left out of the snapshots).
mkdir "$WORK/cwd" "$WORK/s"
S=$WORK/s

# in_cwd OUT ERR CMD...: CMD guarded, run in cwd/. Its status.
in_cwd() { (cd "$WORK/cwd" && guarded "$@"); }
# run_ok WHAT CMD...: guarded in cwd/, with output in $S/out and $S/err; false (and a
# failure said) unless it ends with status 0.
run_ok() {
  local what=$1 rc; shift
  in_cwd "$S/out" "$S/err" "$@"; rc=$?
  CHECKED=$((CHECKED + 1))
  guard_passed "$what" "$rc" "$S/err"
}

# Everything under WORK (qelda runs in WORK/cwd) but the folders named and the runs' own
# output, as "type size path" lines: what a run may not touch.
snapshot() {
  local skip=(-path ./s -prune -o) d
  for d in "$@"; do skip+=(-path "$d" -prune -o); done
  (cd "$WORK" && find . "${skip[@]}" -printf '%y %s %p\n' | sort)
}

# Live items of an fls -r -p listing as "d path" / "f path", lower case, sorted.
fls_items() {
  awk -F'\t' '{ split($1, head, " ") }
    head[2] == "*" || $2 ~ /^\$/ || $2 ~ /\(Volume Label Entry\)$/ { next }
    head[1] == "d/d" { print "d " tolower($2) } head[1] == "r/r" { print "f " tolower($2) }' "$1" | sort
}
# The same of a `scan --list`.
list_items() { awk -F'\t' '$4 !~ /^\$/ { print $1 " " tolower($4) }' "$1" | sort; }

# Files and folders under DIR as "d path" / "f path md5", lower case, sorted; names starting
# with "level" left out (the deep chain has no copy in content/).
tree_of() {
  (cd "$1" && find . -mindepth 1 -name 'level*' -prune -o -type d -printf 'd %P\n' -o -type f -printf 'f %P\n') |
    while IFS= read -r line; do
      if [[ $line == f* ]]; then printf '%s %s\n' "$line" "$(md5sum <"$1/${line#f }" | cut -d' ' -f1)"
      else printf '%s\n' "$line"; fi
    done | awk '{ $2 = tolower($2) } 1' OFS=' ' | sort
}

# ---------------------------------------------------------------- sizes past the disk
# check_volume NAME COUNT NOTES: source 1 of NAME.vmdk starts at 2048 and is listed with
# COUNT sectors; NOTES lines on stderr say where the disk ends; it scans and recovers
# like the volume it holds.
check_volume() {
  local name=$1 count=$2 notes=$3 image=$HOSTILE/$1.vmdk out=$WORK/$1 line
  mkdir -p "$out"
  run_ok "$name: info" "$QELDA" info "$image" || return
  line=$(awk -F'\t' '$1 == 1' "$S/out")
  [[ $line == $'1\t1\tVMDK-Vol 0\tFAT\t2048\t'"$count"$'\t'* ]] || fail "$name: source 1 listed as: $line"
  [[ $(grep -c 'past the end of the disk at sector 65536' "$S/err") == "$notes" ]] ||
    fail "$name: not $notes notes of a volume cut at the disk's end: $(cat "$S/err")"

  run_ok "$name: scan --list" "$QELDA" scan "$image" --source 1 --list || return
  grep -v $'\tlevel' "$S/out" >"$out/list"
  diff <(fls_items "$HOSTILE/oracle/$name.fls") <(list_items "$out/list") >"$out/diff" ||
    fail "$name: listing differs from fls: $(head -10 "$out/diff")"

  local before
  before=$(snapshot "./$name")
  run_ok "$name: recover" "$QELDA" recover "$image" --source 1 --out "$out/rec" || return
  grep -v '^\[Recovered\] \|^[0-9]* recovered' "$S/out" >"$out/bad" && fail "$name: not all recovered: $(head -3 "$out/bad")"
  diff <(tree_of "$HOSTILE/content/$name") <(tree_of "$out/rec") >"$out/diff" ||
    fail "$name: recovered files differ from content/$name: $(head -10 "$out/diff")"
  [[ $(snapshot "./$name") == "$before" ]] || fail "$name: recover wrote outside --out"
}
check_volume huge-mbr 4294967295 2
check_volume huge-gpt 1099511625729 1
check_volume ldm-repeated 16384 0
check_volume ldm-huge 18446744073709551615 1

# The file under 30 levels of 200-character names is saved, not skipped.
deep=$(find "$WORK/huge-mbr/rec" -type f -name deep.txt -printf '%d\n')
[[ $deep == 31 ]] || fail "deep.txt under 30 levels of long names not recovered (depth '${deep}')"
CHECKED=$((CHECKED + 1))

# A volume that starts past the end of the disk: listed, nothing of it read, no crash.
in_cwd "$S/out" "$S/err" "$QELDA" scan "$HOSTILE/huge-mbr.vmdk" --source 2 --list
rc=$?
((rc == 0 || rc == 3)) || fail "a volume past the disk's end: exit $rc: $(head -c 300 "$S/err")"
CHECKED=$((CHECKED + 1))

# ---------------------------------------------------------------- one name, many files
# 8000 files named SAME.TXT in one folder: each takes the next free number (trying every
# number from " (2)" again for each file takes minutes here, and the guard stops it).
if run_ok "8000 files of one name: recover" "$QELDA" recover "$HOSTILE/dup-names.vmdk" --out "$WORK/dups"; then
  [[ $(grep -c '^\[Recovered\] DUPS/SAME' "$S/out") == 8000 ]] || fail "8000 files of one name: not all recovered"
  for n in 1 2 4321 8000; do
    name=SAME.TXT
    ((n > 1)) && name="SAME ($n).TXT"
    [[ $(cat "$WORK/dups/DUPS/$name" 2>/dev/null) == "dup $((n - 1))" ]] || fail "8000 files of one name: $name is not file $n"
  done
fi

# ---------------------------------------------------------------- names
names=$HOSTILE/names-ntfs.vmdk
if run_ok "names: scan --list" "$QELDA" scan "$names" --list; then
  cp "$S/out" "$S/names.list"
  awk -F'\t' 'NF != 4 { bad++ } END { exit bad > 0 }' "$S/names.list" || fail "names: a line without four fields"
  LC_ALL=C grep -qP '[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]' "$S/names.list" && fail "names: a raw control character printed"
  # Held against fls, which shows C0 controls as '^' and leaves everything else raw.
  perl -pe 'chomp; my @f = split /\t/; $f[3] =~ s/\\(t|n|\\|x([0-9A-F]{2}))/
      $1 eq "t" || $1 eq "n" ? "^" : $1 eq "\\" ? "\\" : hex($2) < 0x20 ? "^" : hex($2) < 0x80 ? chr(hex $2) : "\xc2" . chr(hex $2)/ge;
      $_ = join("\t", @f) . "\n"' "$S/names.list" >"$S/names.unescaped"
  diff <(fls_items "$HOSTILE/oracle/names-ntfs.fls") <(list_items "$S/names.unescaped") >"$S/names.diff" ||
    fail "names: listing differs from fls: $(head -10 "$S/names.diff")"
  for want in $'f\t-\t7\tforged\\nf\\t-\\t0\\tpasswd' $'f\t-\t7\tback\\\\slash.txt' $'f\t-\t7\tesc\\x1B[31mred.txt' \
    $'f\t-\t7\tc1\\x9B2J.txt' $'f\t-\t6\tfolder\\twith\\ttabs/inner\\nfile.txt'; do
    grep -qxF -- "$want" "$S/names.list" || fail "names: no line '$want'"
  done
fi
if run_ok "names: recover" "$QELDA" recover "$names" --out "$WORK/names" --log "$S/names.log"; then
  files=$(awk -F'\t' '$1 == "f"' "$S/names.list" | wc -l)
  [[ $(grep -c '^\[Recovered\] ' "$S/out") == "$files" ]] || fail "names: not one [Recovered] line per file"
  [[ $(wc -l <"$S/out") == $((files + 1)) ]] || fail "names: recover printed more lines than files"
  LC_ALL=C grep -qP '[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]' "$S/out" "$S/names.log" &&
    fail "names: a raw control character printed or logged"
  grep -qxF '[Recovered] forged\nf\t-\t0\tpasswd' "$S/out" || fail "names: forged name not escaped in recover"
  grep -qxF '[Recovered] forged\nf\t-\t0\tpasswd' "$S/names.log" || fail "names: forged name not escaped in the log"
  [[ $(cat "$WORK/names/"$'forged\nf\t-\t0\tpasswd' 2>/dev/null) == 'name 7' ]] || fail "names: saved name not kept"
  [[ $(cat "$WORK/names/"$'folder\twith\ttabs/inner\nfile.txt' 2>/dev/null) == 'inner' ]] || fail "names: saved folder name not kept"
fi

# ---------------------------------------------------------------- extents that are not files
mkdir -p "$WORK/ext/dir"
mkfifo "$WORK/ext/pipe" "$WORK/ext/fifo.vmdk" "$WORK/ext/fifo.vdi" "$WORK/ext/fifo.vhd"
ln -s /dev/zero "$WORK/ext/zero"
printf '# Disk DescriptorFile\ncreateType="twoGbMaxExtentFlat"\nRW 2048 FLAT "pipe" 0\nRW 2048 FLAT "dir" 0\nRW 2048 FLAT "zero" 0\n' \
  >"$WORK/ext/disk.vmdk"
if run_ok "an extent that is a FIFO" "$QELDA" info "$WORK/ext/disk.vmdk"; then
  for e in pipe dir zero; do
    grep -q "^Extent .* $e (Missing)\$" "$S/out" || fail "extent $e not shown as missing: $(cat "$S/out")"
  done
fi
for f in fifo.vmdk fifo.vdi fifo.vhd; do
  in_cwd "$S/out" "$S/err" "$QELDA" info "$WORK/ext/$f"
  rc=$?
  ((rc == 2)) || fail "an image that is a FIFO ($f): exit $rc, not 2"
  CHECKED=$((CHECKED + 1))
done

# ---------------------------------------------------------------- a hostile --out
# Three output folders made beforehand over the FAT volume of huge-mbr (Docs/, Docs/Inner/,
# readme.txt, Docs/notes.txt, as their case flags name them): symlinks out of the folder, FIFOs, a dangling symlink and
# names already taken.
mkdir -p "$WORK/victim" "$WORK/o1" "$WORK/o2" "$WORK/o3/Docs"
printf 'victim data\n' >"$WORK/victim/target.txt"
ln -s ../victim "$WORK/o1/Docs"
ln -s ../victim/target.txt "$WORK/o1/readme.txt"
mkfifo "$WORK/o2/Docs" "$WORK/o2/readme.txt"
ln -s ../victim/created.txt "$WORK/o3/readme.txt"
printf 'old notes\n' >"$WORK/o3/Docs/notes.txt"
before=$(snapshot ./o1 ./o2 ./o3)
content=$HOSTILE/content/huge-mbr
for o in o1 o2 o3; do
  run_ok "recover into $o" "$QELDA" recover "$HOSTILE/huge-mbr.vmdk" --source 1 --out "$WORK/$o" || continue
  grep -v '^\[Recovered\] \|^[0-9]* recovered' "$S/out" >"$S/bad" && fail "$o: not all recovered: $(head -3 "$S/bad")"
done
[[ $(snapshot ./o1 ./o2 ./o3) == "$before" ]] || fail "a hostile --out: something was written outside it"
[[ -L $WORK/o1/Docs && -L $WORK/o1/readme.txt && -p $WORK/o2/Docs && -p $WORK/o2/readme.txt && -L $WORK/o3/readme.txt ]] ||
  fail "a hostile --out: a symlink or FIFO already there was replaced"
[[ ! -e $WORK/victim/created.txt ]] || fail "a hostile --out: a file was made through a dangling symlink"
for o in o1 o2; do
  cmp -s "$WORK/$o/Docs (2)/notes.txt" "$content/Docs/notes.txt" || fail "$o: Docs (2)/notes.txt not saved"
  cmp -s "$WORK/$o/Docs (2)/Inner/inner.txt" "$content/Docs/Inner/inner.txt" || fail "$o: Docs (2)/Inner/inner.txt not saved"
  cmp -s "$WORK/$o/readme (2).txt" "$content/readme.txt" || fail "$o: readme (2).txt not saved"
done
cmp -s "$WORK/o3/readme (2).txt" "$content/readme.txt" || fail "o3: readme (2).txt not saved"
cmp -s "$WORK/o3/Docs/notes (2).txt" "$content/Docs/notes.txt" || fail "o3: Docs/notes (2).txt not saved"
[[ $(cat "$WORK/o3/Docs/notes.txt") == 'old notes' ]] || fail "o3: an existing file was overwritten"

printf '%d checks, %d failed\n' "$CHECKED" "$FAILED"
((FAILED == 0))
