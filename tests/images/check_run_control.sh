#!/usr/bin/env bash
# Runs the real `qelda` where a run is cut short or its output gives out, on the disks
# make_run_control_images.sh makes (each at one size and at four times it), every run held to
# 1 GiB of memory and ended by a hang guard:
#  - `scan --list` of an exFAT volume whose FAT copy lives in a work file, its reader gone
#    (`| head`, or a FIFO closed while qelda waits on it): qelda ends with 130 and "qelda:
#    stopped", and its work folder (there while it waited) is gone;
#  - SIGTERM and SIGHUP while `recover` writes big.bin: the run ends with 130, the summary
#    and "qelda: stopped"; no hidden part file is left and every file under a found name has
#    all its bytes (md5 as written through exfat-fuse);
#  - `recover` into a tmpfs too small for it: exit status 4 and the cause on stderr, every
#    file saved whole, no part file left;
#  - `recover` twice into an exFAT folder through exfat-fuse, which has no exclusive rename and
#    no hard links: the same files as into a plain folder, then numbered copies of them;
#  - `recover` of 20,000 files in folders 2,048 deep (80,000 at four times), without a log and
#    with one: every file saved (count and contents as written), no more file bytes than the
#    disk holds, within the memory cap;
#  - `scan --lost --deep` of a large empty disk stopped by Ctrl-C says "qelda: stopped";
#  - SIGINT and SIGTERM while `recover` or `resume --out` writes a 160 MiB file from NTFS or
#    FAT32: exit 130 and the summary, the file finished (said on stderr while it is), no part
#    file left, and every file saved as icat reads it; a second stop (SIGINT and SIGTERM both)
#    gives the file up at once: it is said not saved, [Skipped], and neither it nor its part
#    file is left;
#  - a `--log` that opens but takes no line (/dev/full) or fills up during the run (on a tmpfs
#    all but full): exit 130, the cause said once, "qelda: stopped", the files saved whole;
#  - `recover` into a read-only folder: exit status 4, the cause said once; a `--log` that
#    cannot be written: exit 1 at once, said; `info`, `scan`, `lost`, `resume` and `drives`
#    onto a full standard output: a status other than 0 and the cause;
#  - `info /dev/null`, `lost` of a folder or /dev/zero and `resume` of a folder say why the
#    file cannot be opened; `--linking fat2` on exFAT is said not to apply; the usage names
#    every scan kind.
#
#   check_run_control.sh BUILD_DIR IMAGES_DIR
# The disks are cached in BUILD_DIR/images-run-control.
set -uo pipefail
export LC_ALL=C

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
DISKS=$BUILD/images-run-control
bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/make_run_control_images.sh" "$DISKS" || exit 1

mkdir "$WORK/cache" "$WORK/s"
S=$WORK/s
export XDG_CACHE_HOME=$WORK/cache
# The output file systems mounted below are released before the work folder goes.
LOOP=''
trap 'umount "$S/mnt" "$S/logdisk" "$WORK/full" "$WORK/ro" 2>/dev/null; [[ -z $LOOP ]] || losetup -d "$LOOP"; rm -rf --one-file-system "$WORK"' EXIT

# Signals a test runner may have set to be ignored are given back their default before qelda
# starts (bash cannot undo an ignore it inherited).
DEFAULT_SIGNALS='import os, signal, sys
for s in (signal.SIGHUP, signal.SIGTERM, signal.SIGINT, signal.SIGPIPE):
    signal.signal(s, signal.SIG_DFL)
os.execvp(sys.argv[1], sys.argv[1:])'

# started OUT ERR CMD...: CMD in the background, held to 1 GiB like guarded, with the default
# signal handlers; its process id (CMD's own) in PID.
started() {
  local out=$1 err=$2; shift 2
  if ((SANITIZED)); then
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}hard_rss_limit_mb=1024 exec python3 -c "$DEFAULT_SIGNALS" "$@" >"$out" 2>"$err" &
  else
    (ulimit -v 1048576 && exec python3 -c "$DEFAULT_SIGNALS" "$@") >"$out" 2>"$err" &
  fi
  PID=$!
}

# ended: the status of the background PID in RC, or 124 (and it killed) after GUARD seconds.
ended() {
  local i
  for ((i = 0; i < GUARD * 20; i++)); do
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.05
  done
  if kill -KILL "$PID" 2>/dev/null; then
    wait "$PID" 2>/dev/null
    RC=124
    return
  fi
  wait "$PID"
  RC=$?
}

work_folders() { find "$WORK/cache" -mindepth 2 -maxdepth 2 -name 'exfat-*'; }
no_work_folder() {
  local left
  left=$(work_folders | head -3)
  [[ -z $left ]] || { fail "$1: work folder left: $left"; rm -rf "${WORK:?}/cache/"*; }
}

# stopped_says WHAT RC ERR [WANT]: the run ended with WANT (130) and said "qelda: stopped".
stopped_says() {
  local what=$1 rc=$2 err=$3 want=${4:-130}
  if ((rc == 124)); then fail "$what: still running after $GUARD s"; return; fi
  ((rc == want)) || fail "$what: exit $rc, not $want: $(head -c 300 "$err")"
  [[ $want != 130 ]] || grep -qx 'qelda: stopped' "$err" || fail "$what: no \"qelda: stopped\" on stderr"
}

# whole_files WHAT OUT MD5S: no part file under OUT, and every file there is one of the disk's
# with all its bytes; the number saved in SAVED.
whole_files() {
  local what=$1 out=$2 sums=$3 parts bad
  parts=$(find "$out" -name '.qelda-*' | head -3)
  [[ -z $parts ]] || fail "$what: part files left: $parts"
  SAVED=$(find "$out" -type f ! -name '.qelda-*' | wc -l)
  bad=$(cd "$out" && find . -type f ! -name '.qelda-*' -printf '%P\n' | sort | join -1 2 -2 1 -v 2 \
    <(sed 's/^\([0-9a-f]*\)  /\1 /' "$sums" | sort -k2) - | head -3)
  [[ -z $bad ]] || fail "$what: saved files that are no file of the disk: $bad"
  bad=$(cd "$out" && md5sum -- $(find . -type f ! -name '.qelda-*' -printf '%P\n') 2>/dev/null |
    sort -k2 | join -1 2 -2 2 <(sort -k2 "$sums") - | awk '$2 != $3 { print $1 }' | head -3)
  [[ -z $bad ]] || fail "$what: saved with other bytes than written (cut short?): $bad"
}

# summary_said WHAT OUT DIR: the last line of OUT is recover's summary for DIR.
summary_said() {
  tail -n 1 "$2" | grep -Eq "^[0-9]+ recovered, [0-9]+ partially recovered, [0-9]+ skipped under $3\$" ||
    fail "$1: no summary; the last line is: $(tail -n 1 "$2" | head -c 200)"
}

# stop_while_saving WHAT SIG OUT BYTES FIND_TEST...: once the run PID has written BYTES and
# `find OUT FIND_TEST...` finds something (or the run has ended), PID gets SIG; it must end
# with 130, "qelda: stopped" and its summary. The run is held (SIGSTOP) while OUT is looked
# at, so that SIG comes while what was found is still there, however fast the disk takes the
# bytes; what it has written is read from /proc without starting a process, so that a run
# that writes at memory speed is caught early.
mkfifo "$S/quiet"
exec {QUIET}<>"$S/quiet"
stop_while_saving() {
  local what=$1 sig=$2 out=$3 bytes=$4 until=$((SECONDS + GUARD)) key value written one
  shift 4
  while ((SECONDS < until)); do
    written=-1
    while read -r key value; do [[ $key != wchar: ]] || written=$value; done 2>/dev/null </proc/"$PID"/io
    ((written >= 0)) || break
    if ((written >= bytes)); then
      kill -STOP "$PID" 2>/dev/null || break
      [[ -n $(find "$out" "$@" -print -quit 2>/dev/null) ]] && break
      kill -CONT "$PID"
    fi
    read -r -t 0.001 -u "$QUIET" _
  done
  # SIG may be two, joined by '+': both are pending when the run goes on, two stops in a row.
  for one in ${sig//+/ }; do kill -"$one" "$PID" 2>/dev/null; done
  kill -CONT "$PID" 2>/dev/null
  ended
  stopped_says "$what" "$RC" "$S/err"
  summary_said "$what" "$S/out" "$out"
}

# The deep disk at four times its size takes the longest: check_run_control_deep.sh runs it
# alone (RUN_CONTROL_PART=deep4), so that it and the rest run side by side.
PART=${RUN_CONTROL_PART:-rest}
DEEP_SIZES=1
[[ $PART != deep4 ]] || DEEP_SIZES=4

if [[ $PART != deep4 ]]; then
# ---------------------------------------------------------------- a closed standard output
for n in 1 4; do
  disk=$DISKS/exfat-$n.vmdk
  what="exfat-$n scan --list | head"
  CHECKED=$((CHECKED + 1))
  guarded /dev/stdout "$S/err" "$QELDA" scan "$disk" --list | head -n 5 >"$S/head"
  rc=${PIPESTATUS[0]}
  stopped_says "$what" "$rc" "$S/err"
  [[ $(head -n 1 "$S/head") == $'f\t-\t'$((n * 25165824))$'\tbig.bin' ]] ||
    fail "$what: first line $(head -n 1 "$S/head")"
  while IFS=$'\t' read -r _ _ _ name; do
    grep -q ":"$'\t'"$name\$" "$DISKS/exfat-$n.fls" || fail "$what: $name is not in fls's listing"
  done <"$S/head"
  no_work_folder "$what"

  # The same with qelda held on a full pipe: its work folder is there until the reader goes.
  what="exfat-$n scan --list into a FIFO closed early"
  CHECKED=$((CHECKED + 1))
  rm -f "$S/fifo"
  mkfifo "$S/fifo"
  started "$S/fifo" "$S/err" "$QELDA" scan "$disk" --list
  exec 3<"$S/fifo"
  IFS= read -r line <&3
  [[ $line == $'f\t-\t'* ]] || fail "$what: first line $line"
  # A listing larger than the pipe holds keeps qelda waiting: its work folder is in use.
  [[ -n $(work_folders) ]] || fail "$what: no work folder while the listing is written (the FAT copy stayed in memory?)"
  exec 3<&-
  ended
  stopped_says "$what" "$RC" "$S/err"
  no_work_folder "$what"
done

# ---------------------------------------------------------------- SIGTERM and SIGHUP
for n in 1 4; do
  for sig in TERM HUP; do
    disk=$DISKS/exfat-$n.vmdk out=$WORK/out-$n-$sig
    what="exfat-$n recover, SIG$sig while big.bin is written"
    CHECKED=$((CHECKED + 1))
    started "$S/out" "$S/err" "$QELDA" recover "$disk" --out "$out"
    stop_while_saving "$what" "$sig" "$out" 0 -type f
    whole_files "$what" "$out" "$DISKS/exfat-$n.md5"
    ((SAVED < n * 2000)) || fail "$what: all $SAVED files saved: the signal came after the end"
    no_work_folder "$what"
    rm -rf "$out"
  done
done

# ---------------------------------------------------------------- an output disk that fills up
FULL=$WORK/full
mkdir "$FULL"
if mount -t tmpfs -o size=4m tmpfs "$FULL" 2>"$S/err"; then
  what="exfat-1 recover into a 4 MiB tmpfs"
  CHECKED=$((CHECKED + 1))
  guarded "$S/out" "$S/err" "$QELDA" recover "$DISKS/exfat-1.vmdk" --out "$FULL/out"
  stopped_says "$what" $? "$S/err" 4
  grep -q "files skipped: no space left on the disk of $FULL/out" "$S/err" || fail "$what: no cause said: $(head -c 300 "$S/err")"
  summary_said "$what" "$S/out" "$FULL/out"
  whole_files "$what" "$FULL/out" "$DISKS/exfat-1.md5"
  ((SAVED > 0)) || fail "$what: nothing saved"
  umount "$FULL"
else
  skip_without_images "a tmpfs cannot be mounted here: $(head -c 200 "$S/err")" || fail "no tmpfs for the full-disk check"
fi

# ---------------------------------------------------------------- an output without exclusive renames
# exfat-fuse takes neither a rename that refuses to replace nor hard links: a file still takes
# its name only once whole, and a second run beside the first still makes numbered copies.
sorted_md5s() { find "$1" -type f -exec md5sum {} + | cut -d' ' -f1 | sort; }
SOURCE=$IMAGES/mbr-monosparse.vmdk
if [[ ! -f $SOURCE ]]; then
  skip_without_images "$SOURCE: missing" || fail "$SOURCE: missing"
elif truncate -s 16M "$S/out-exfat.img" && mkfs.exfat "$S/out-exfat.img" >/dev/null &&
  LOOP=$(losetup -f --show "$S/out-exfat.img") && mkdir -p "$S/mnt" && mount.exfat-fuse "$LOOP" "$S/mnt" 2>"$S/err"; then
  what="recover twice into an exFAT folder through exfat-fuse"
  CHECKED=$((CHECKED + 1))
  guarded "$S/plain" "$S/err" "$QELDA" recover "$SOURCE" --out "$WORK/plain"
  for run in 1 2; do
    guarded "$S/out" "$S/err" "$QELDA" recover "$SOURCE" --out "$S/mnt/o"
    guard_passed "$what (run $run)" $? "$S/err"
    [[ $(tail -n 1 "$S/out") == "$(tail -n 1 "$S/plain" | sed "s|$WORK/plain|$S/mnt/o|")" ]] ||
      fail "$what (run $run): $(tail -n 1 "$S/out") (into a plain folder: $(tail -n 1 "$S/plain"))"
  done
  [[ -z $(find "$S/mnt/o" -name '.qelda-*') ]] || fail "$what: part files left"
  diff <( (sorted_md5s "$WORK/plain"; sorted_md5s "$WORK/plain") | sort) <(sorted_md5s "$S/mnt/o") >/dev/null ||
    fail "$what: the two runs saved other bytes than a plain folder gets twice"
  umount "$S/mnt"
  losetup -d "$LOOP" && LOOP=''
else
  skip_without_images "exfat-fuse cannot mount here: $(head -c 200 "$S/err")" || fail "no exfat-fuse for the output check"
fi

fi

# ---------------------------------------------------------------- 2,048 folders deep
# 80,000 files in a chain of 2,048 folders take seconds, but many of them on a busy machine:
# the guard (against a hang) is longer here. The sanitizers' build saves the large disk once.
GUARD=$((GUARD * 4))
for n in $DEEP_SIZES; do
  disk=$DISKS/deep-$n.vmdk out=$WORK/deep-$n
  read -r files contents <"$DISKS/deep-$n.sum"
  for log in none /dev/null; do
    ((SANITIZED && n == 4)) && [[ $log != none ]] && continue
    what="deep-$n recover (log: $log)"
    args=()
    [[ $log == none ]] || args=(--log "$log")
    CHECKED=$((CHECKED + 1))
    rm -rf "$out"
    # Every report line holds a path 12 KB long: only the last one, the summary, is kept.
    guarded /dev/stdout "$S/err" "$QELDA" recover "$disk" --out "$out" "${args[@]}" | tail -n 1 >"$S/out"
    guard_passed "$what" "${PIPESTATUS[0]}" "$S/err" || continue
    [[ $(<"$S/out") == "$files recovered, 0 partially recovered, 0 skipped under $out" ]] ||
      fail "$what: summary $(head -c 200 "$S/out")"
    saved=$(find "$out" -type f | wc -l)
    got=$(find "$out" -type f -execdir cat {} + | LC_ALL=C sort | md5sum | cut -d' ' -f1)
    ((saved == files)) && [[ $got == "$contents" ]] || fail "$what: $saved files saved (md5 of their sorted lines $got)"
    bytes=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    ((bytes <= $(stat -c %s "$disk"))) || fail "$what: $bytes bytes saved, more than the disk holds"
    rm -rf "$out"
  done
done
GUARD=$((GUARD / 4))

if [[ $PART != deep4 ]]; then
# ---------------------------------------------------------------- the lost-volume search stopped
what="scan --lost --deep stopped by Ctrl-C"
CHECKED=$((CHECKED + 1))
truncate -s 256G "$S/empty.raw"
started "$S/out" "$S/err" "$QELDA" scan "$S/empty.raw" --lost --deep
# Until the wrapper has made itself qelda, SIGINT may still be ignored, as a background job's is.
for ((i = 0; i < GUARD * 100; i++)); do
  [[ $(readlink "/proc/$PID/exe") != "$(readlink -f "$QELDA")" ]] || break
  sleep 0.01
done
sleep 1
kill -INT "$PID"
ended
stopped_says "$what" "$RC" "$S/err"

# ---------------------------------------------------------------- a stop inside a big file
# SIGINT or SIGTERM while `recover` or `resume --out` writes Big.bin (160 MiB) from NTFS or
# FAT32: the file is finished, and said to be, the run then stops; nothing under a found name
# is cut. Two stops give it up at once.
# icat_equal WHAT OUT MD5S: no part file under OUT, and every file there that fls lists holds
# what icat reads of it.
icat_equal() {
  local what=$1 out=$2 sum path parts
  parts=$(find "$out" -name '.qelda-*' | head -3)
  [[ -z $parts ]] || fail "$what: part files left: $parts"
  while read -r sum path; do
    [[ ! -e $out/$path || $(md5sum <"$out/$path" | cut -d' ' -f1) == "$sum" ]] ||
      fail "$what: $path ($(stat -c %s "$out/$path") bytes) is not what icat reads"
  done <"$3"
}
export XDG_CONFIG_HOME=$WORK/config
for fs in ntfs fat32; do
  disk=$DISKS/big-$fs.vmdk
  guarded "$S/out" "$S/err" "$QELDA" scan "$disk" --save-scan "$S/$fs.scan"
  guard_passed "$fs scan --save-scan" $? "$S/err" || continue
  for run in recover resume; do
    for sig in INT TERM INT+TERM; do
      out=$WORK/big-$fs-$run-${sig/+/-}
      what="$fs $run --out, SIG$sig while Big.bin is written"
      CHECKED=$((CHECKED + 1))
      if [[ $run == recover ]]; then
        started "$S/out" "$S/err" "$QELDA" recover "$disk" --out "$out"
      else
        started "$S/out" "$S/err" "$QELDA" resume "$S/$fs.scan" --image "$disk" --out "$out"
      fi
      # Nothing else on these disks reaches 4 MiB: the signal comes inside Big.bin.
      stop_while_saving "$what" "$sig" "$out" $((8 << 20)) -name '.qelda-*' -size +4M
      icat_equal "$what" "$out" "$DISKS/big-$fs.md5"
      if [[ $sig == *+* ]]; then
        [[ ! -e $out/Big.bin ]] || fail "$what: Big.bin was saved after the second stop"
        grep -qx 'qelda: Big.bin was not saved: stopped again before it was whole' "$S/err" ||
          fail "$what: not said to be unsaved: $(head -c 300 "$S/err")"
        grep -qx '\[Skipped\] Big.bin' "$S/out" || fail "$what: Big.bin is not reported [Skipped]"
      else
        [[ -f $out/Big.bin ]] || fail "$what: Big.bin was not finished"
        (($(grep -c '^qelda: stopping once Big.bin is saved whole' "$S/err") == 1)) ||
          fail "$what: the wait for Big.bin is not said once: $(head -c 300 "$S/err")"
      fi
      (($(find "$out" -name 'Small-*' | wc -l) < 20)) || fail "$what: every file saved: the signal came after the end"
      rm -rf "$out"
    done
  done
done

# ---------------------------------------------------------------- output that cannot be written
# A folder not even root may write, a log that cannot be opened, a standard output on a full
# disk: each ends the run with a status other than 0 and its cause said once.
RO=$WORK/ro
mkdir "$RO" "$S/folder"
if mount -t tmpfs -o ro,size=1m tmpfs "$RO" 2>"$S/err"; then
  what="recover into a read-only folder"
  CHECKED=$((CHECKED + 1))
  guarded "$S/out" "$S/err" "$QELDA" recover "$DISKS/big-fat32.vmdk" --out "$RO"
  stopped_says "$what" $? "$S/err" 4
  (($(grep -c "^qelda: 21 files skipped: cannot write under $RO: Read-only file system\$" "$S/err") == 1)) ||
    fail "$what: the cause is not said once: $(head -c 300 "$S/err")"
  summary_said "$what" "$S/out" "$RO"
  for log in "$RO/run.log" "$S/missing/run.log"; do
    what="recover --log $log"
    CHECKED=$((CHECKED + 1))
    guarded "$S/out" "$S/err" "$QELDA" recover "$DISKS/big-fat32.vmdk" --out "$S/logged" --log "$log"
    stopped_says "$what" $? "$S/err" 1
    grep -q "^qelda: cannot write the log $log: " "$S/err" || fail "$what: not said: $(head -c 300 "$S/err")"
    [[ ! -e $S/logged ]] || fail "$what: the run went on without its log"
  done
  umount "$RO"
else
  skip_without_images "a read-only tmpfs cannot be mounted here: $(head -c 200 "$S/err")" || fail "no tmpfs for the read-only check"
fi
# A log that takes no line from the start, and one whose disk fills during the run.
what="recover --log /dev/full"
CHECKED=$((CHECKED + 1))
guarded "$S/out" "$S/err" "$QELDA" recover "$DISKS/exfat-1.vmdk" --out "$S/unlogged" --log /dev/full
stopped_says "$what" $? "$S/err"
(($(grep -cx 'qelda: cannot write the log /dev/full: No space left on device' "$S/err") == 1)) ||
  fail "$what: the cause is not said once: $(head -c 300 "$S/err")"
[[ -z $(find "$S/unlogged" -type f 2>/dev/null | head -1) ]] || fail "$what: files saved without the log"
mkdir "$S/logdisk"
if mount -t tmpfs -o size=1m tmpfs "$S/logdisk" 2>"$S/err"; then
  # All but 8 KiB taken: the log fills up after a hundred or so files.
  head -c $(((1024 - 8) * 1024)) /dev/zero >"$S/logdisk/filler"
  what="recover --log on a disk that fills up"
  CHECKED=$((CHECKED + 1))
  guarded "$S/out" "$S/err" "$QELDA" recover "$DISKS/exfat-1.vmdk" --out "$S/logged" --log "$S/logdisk/run.log"
  stopped_says "$what" $? "$S/err"
  (($(grep -cx "qelda: cannot write the log $S/logdisk/run.log: No space left on device" "$S/err") == 1)) ||
    fail "$what: the cause is not said once: $(head -c 300 "$S/err")"
  whole_files "$what" "$S/logged" "$DISKS/exfat-1.md5"
  ((SAVED > 0 && SAVED < 2000)) || fail "$what: $SAVED files saved: the run did not end when the log filled"
  umount "$S/logdisk"
else
  skip_without_images "a tmpfs cannot be mounted here: $(head -c 200 "$S/err")" || fail "no tmpfs for the log check"
fi

"$QELDA" drives >"$S/drives"
for command in "info $DISKS/big-fat32.vmdk" "scan $DISKS/big-fat32.vmdk" "lost $DISKS/big-fat32.vmdk" \
  "resume $S/fat32.scan --image $DISKS/big-fat32.vmdk" drives; do
  [[ $command != drives || -s $S/drives ]] || continue
  what="$command >/dev/full"
  CHECKED=$((CHECKED + 1))
  # shellcheck disable=SC2086  # the words of the command
  guarded /dev/full "$S/err" "$QELDA" $command
  rc=$?
  ((rc != 0 && rc != 124)) || fail "$what: exit $rc"
  grep -qx 'qelda: standard output: No space left on device' "$S/err" || fail "$what: no cause said: $(head -c 300 "$S/err")"
done

# ---------------------------------------------------------------- files that are no disk or scan file
for command in "lost $S/folder" "lost /dev/zero" "resume $S/folder --image $DISKS/big-fat32.vmdk"; do
  what="$command"
  CHECKED=$((CHECKED + 1))
  # shellcheck disable=SC2086
  guarded "$S/out" "$S/err" "$QELDA" $command
  stopped_says "$what" $? "$S/err" 2
  read -r _ path _ <<<"$command"
  kind="a folder"
  [[ $path != /dev/zero ]] || kind="a character device"
  grep -qx "qelda: cannot open $path: $kind, not a file or a block device" "$S/err" ||
    fail "$what: $(tail -n 1 "$S/err")"
done
what="exFAT scan --linking fat2"
CHECKED=$((CHECKED + 1))
guarded "$S/out" "$S/err" "$QELDA" scan "$DISKS/exfat-1.vmdk" --linking fat2
guard_passed "$what" $? "$S/err"
grep -q -- '^qelda: --linking fat2 does not apply: ' "$S/err" || fail "$what: not said"

# ---------------------------------------------------------------- what the command says
what="info /dev/null"
CHECKED=$((CHECKED + 1))
"$QELDA" info /dev/null >/dev/null 2>"$S/err"
rc=$?
((rc == 2)) || fail "$what: exit $rc"
grep -qx 'qelda: cannot open /dev/null: a character device, not a file or a block device' "$S/err" ||
  fail "$what: $(tail -n 1 "$S/err")"
CHECKED=$((CHECKED + 1))
"$QELDA" 2>"$S/err"
(($(grep -c -- '--kind quick|deleted|advanced|raw' "$S/err") == 2)) || fail "the usage does not name every scan kind"

fi

echo "$CHECKED checks, $FAILED failed"
((FAILED == 0))
