#!/usr/bin/env bash
# shellcheck disable=SC2034  # the conditions read their variables through eval
# The frame of the image scripts (image_script.sh) and of the shell checks (check_script.sh),
# on a toy image script in a copy of the support folder:
#  - a wrong number of arguments is a usage error; the cache holds while the script, the
#    frame and the inputs it names are unchanged, and a change to any of them makes it again;
#  - a failure or a signal leaves no stamp, no work folder, no loop device and no mount, and
#    the next run makes everything again; two runs at once make it once;
#  - a folder the script did not make is never emptied;
#  - a guarded run that hangs or outgrows its memory is a failure said as such.
#
#   image_script_test.sh     (the loop device and mount case needs root and the exFAT tools)
set -uo pipefail

HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
T=$(mktemp -d "${TMPDIR:-/tmp}/qelda-image-script-test.XXXXXX")
trap 'rm -rf --one-file-system "$T"' EXIT
TEST_FAILED=0 TEST_CHECKED=0
expect() {  # expect WHAT CONDITION: the shell condition holds
  TEST_CHECKED=$((TEST_CHECKED + 1))
  eval "$2" || { echo "FAIL $1"; TEST_FAILED=$((TEST_FAILED + 1)); }
}

mkdir -p "$T/tests/support" "$T/tests/toy"
cp "$HERE/image_script.sh" "$HERE/check_script.sh" "$T/tests/support/"
echo one >"$T/input.txt"
# The toy counts its builds in $T/builds, writes OUT/made, and runs the steps in $T/act.
cat >"$T/tests/toy/make_toy.sh" <<'TOY'
set -euo pipefail
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
T=$(readlink -f "$HERE/../..")
image_script_start "$@" -- "$T/input.txt"
image_script_fresh "${MARKER:-}"
echo build >>"$T/builds"
echo "$WORK" >"$T/work"
echo $$ >"$T/pid"
echo made >"$OUT/made"
source "$T/act"
image_script_done
TOY
TOY=$T/tests/toy/make_toy.sh OUT=$T/out
builds() { wc -l <"$T/builds" 2>/dev/null || echo 0; }
make_toy() { bash "$TOY" "$OUT" >"$T/log" 2>&1; }
# signalled SIGNAL: the toy, in a process group of its own (as a terminal or ctest stops it),
# sent SIGNAL once its steps have written $T/ready. Its status in rc.
signalled() {
  rm -f "$T/ready"
  (for _ in $(seq 1 200); do [[ -f $T/ready ]] && break; sleep 0.05; done
   kill -"$1" -- -"$(<"$T/pid")") &
  setsid -w bash "$TOY" "$OUT" >"$T/log" 2>&1
  rc=$?
  wait
}
: >"$T/act"

# ---------------------------------------------------------------- arguments and the cache
bash "$TOY" >/dev/null 2>"$T/err"
rc=$?
expect "no OUTDIR: status 1 and the usage" '[[ $rc == 1 && $(<"$T/err") == "usage: "* ]]'
bash "$TOY" a b >/dev/null 2>&1
rc=$?
expect "two OUTDIRs: status 1" '[[ $rc == 1 ]]'
for step in "first run:1" "unchanged:1" "script changed:2" "frame changed:3" "input changed:4" "unchanged again:4"; do
  case ${step%%:*} in
    "script changed") echo '# changed' >>"$TOY" ;;
    "frame changed") echo '# changed' >>"$T/tests/support/image_script.sh" ;;
    "input changed") echo two >"$T/input.txt" ;;
  esac
  make_toy
  rc=$?
  expect "${step%%:*}: status 0 and ${step##*:} builds" '[[ $rc == 0 && $(builds) == "${step##*:}" ]]'
done
expect "the stamp written" '[[ -s $OUT/.stamp && -f $OUT/made ]]'

# ---------------------------------------------------------------- failures and signals
echo false >"$T/act"
echo '# changed' >>"$TOY"
make_toy
rc=$?
expect "a failing step: status 1, no stamp, no work folder" '[[ $rc == 1 && ! -e $OUT/.stamp && ! -e $(<"$T/work") ]]'
echo 'die broken' >"$T/act"
make_toy
rc=$?
expect "die: status 1, said" '[[ $rc == 1 ]] && grep -q "^\[make_toy\] error: broken" "$T/log"'
printf ': >"$T/ready"\nsleep 30\n' >"$T/act"
signalled TERM
expect "TERM: status 143, no stamp, no work folder" '[[ $rc == 143 && ! -e $OUT/.stamp && ! -e $(<"$T/work") ]]'
: >"$T/act"
make_toy
rc=$?
expect "after TERM: made again" '[[ $rc == 0 && -s $OUT/.stamp ]]'
echo '# changed' >>"$TOY"
before=$(builds)
make_toy &
make_toy
wait
expect "two runs at once: one build" '[[ $(builds) == $((before + 1)) && -s $OUT/.stamp ]]'

# ---------------------------------------------------------------- a folder it did not make
mkdir -p "$T/mine" && echo keep >"$T/mine/precious"
MARKER=.toy bash "$TOY" "$T/mine" >/dev/null 2>&1
rc=$?
expect "a folder it did not make: status 1, left as it was" '[[ $rc == 1 && -f $T/mine/precious ]]'
MARKER=.toy bash "$TOY" "$T/mine-new" >/dev/null 2>&1 && echo '# changed' >>"$TOY" &&
  MARKER=.toy bash "$TOY" "$T/mine-new" >/dev/null 2>&1
rc=$?
expect "its own folder with the marker: made again" '[[ $rc == 0 && -f $T/mine-new/.toy && $(builds) == $((before + 3)) ]]'

# ---------------------------------------------------------------- loop devices and mounts
if [[ $(id -u) == 0 && -e /dev/fuse ]] && command -v mkfs.exfat mount.exfat-fuse losetup >/dev/null; then
  cat >"$T/act" <<'ACT'
truncate -s 8M "$WORK/vol"
run mkfs.exfat "$WORK/vol"
attach_loop "$WORK/vol"
echo "$LOOP" >"$T/loop"
mount_fuse mount.exfat-fuse "$LOOP"
echo "$MNT" >"$T/mnt"
: >"$T/ready"
sleep 30
ACT
  rm -f "$T/mnt" "$T/loop"
  signalled INT
  expect "INT while mounted: status 130" '[[ $rc == 130 && -f $T/mnt && -f $T/loop ]]'
  expect "INT while mounted: the mount released" '! grep -qF " $(<"$T/mnt") " /proc/mounts'
  expect "INT while mounted: the loop device detached" '! losetup -a | grep -qF "$(<"$T/work")/"'
else
  echo "skip the loop device and mount case: needs root, /dev/fuse, mkfs.exfat and exfat-fuse"
fi

# ---------------------------------------------------------------- the checks' frame
source "$T/tests/support/check_script.sh"
SANITIZED=0 GUARD=1
out=$(guarded /dev/null "$T/err" sleep 5; guard_passed sleeper $? "$T/err")
rc=$?
expect "a hang is said as one" '[[ $rc == 1 && $out == "FAIL sleeper: still running after 1 s" ]]'
GUARD=30
out=$(guarded /dev/null "$T/err" python3 -c 'b = bytearray(2 << 30)'; guard_passed eater $? "$T/err")
rc=$?
expect "more than 1 GiB is refused and said" '[[ $rc == 1 && $out == "FAIL eater: exit 1: "*MemoryError* ]]'
out=$(guarded "$T/stdout" "$T/err" echo fine; guard_passed fine $? "$T/err")
rc=$?
expect "a run that ends well passes" '[[ $rc == 0 && -z $out && $(<"$T/stdout") == fine ]]'
out=$( (check_script_start "$T" "$T/images") 2>&1)
rc=$?
expect "no qelda: status 1" '[[ $rc == 1 && $out == "no qelda at "* ]]'
out=$( (check_script_start "$T") 2>&1)
rc=$?
expect "one argument: the usage" '[[ $rc == 1 && $out == "usage: "* ]]'

echo "image_script_test: $TEST_CHECKED checks, $TEST_FAILED failed"
((TEST_FAILED == 0))
