#!/usr/bin/env bash
# Resuming a saved scan of 100,000 files against the scan itself, in the same run: on the
# NTFS volume bench_ntfs_scan.sh makes (made by it when missing, kept in WORK_DIR, default
# BUILD_DIR/bench-ntfs), with the disk in the page cache, best of ROUNDS (default 3), for
# the quick scan and for the advanced (deep) scan, the long scan a user would save:
#   qelda scan disk.vmdk --source N KIND [--list] > /dev/null
#   qelda resume saved.qsi --image disk.vmdk [--list] > /dev/null
# Each scan's information is saved once by `scan --save-scan`, and the listings are checked
# to be the same before anything is timed. With --list both commands print every item the
# same way; without it, what is left is the scan (or the load) and the found tree. Prints
# each time, the ratios and the files' sizes.
#
#   bench_resume.sh BUILD_DIR [WORK_DIR]
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
bench_start bench-ntfs "$@"
ROUNDS=${ROUNDS:-3}
need_build qelda
VMDK=$WORK/disk.vmdk
if [[ ! -f $VMDK ]]; then
  echo "making the 100,000-file NTFS volume with bench_ntfs_scan.sh"
  ROUNDS=1 bash "$BENCH/bench_ntfs_scan.sh" "$BUILD" "$WORK" >/dev/null
fi
SOURCE=$("$QELDA" info "$VMDK" | awk -F'\t' 'NF == 7 && $4 == "NTFS" { print $1; exit }')
[[ -n $SOURCE ]] || { echo "qelda info lists no NTFS volume in $VMDK" >&2; exit 1; }

TMP=$(mktemp -d "${TMPDIR:-/tmp}/qelda-bench-resume.XXXXXX")
export XDG_CONFIG_HOME=$TMP/config  # the index of saved scans is kept apart from the user's

best() {  # best of ROUNDS runs of the command, in seconds
  local b='' t0 t
  for ((r = 0; r < ROUNDS; r++)); do
    t0=$(now)
    "$@" >/dev/null
    t=$(echo "$(now) - $t0" | bc -l)
    if [[ -z $b ]] || (($(echo "$t < $b" | bc -l))); then b=$t; fi
  done
  printf '%.3f' "$b"
}

# bench NAME SCAN-OPTIONS...: saves the scan once, checks the listings, times all four.
bench() {
  local name=$1; shift
  local saved=$TMP/$name.qsi
  "$QELDA" scan "$VMDK" --source "$SOURCE" "$@" --list --save-scan "$saved" >"$TMP/scan.list"
  "$QELDA" resume "$saved" --image "$VMDK" --list >"$TMP/resume.list"
  cmp -s "$TMP/scan.list" "$TMP/resume.list" || { echo "$name: the resumed listing differs from the scan's" >&2; exit 1; }
  echo "$name scan: $(wc -l <"$TMP/scan.list") items; scan information: $(stat -c %s "$saved") bytes"
  local scanList resumeList scanOnly resumeOnly
  scanList=$(best "$QELDA" scan "$VMDK" --source "$SOURCE" "$@" --list)
  resumeList=$(best "$QELDA" resume "$saved" --image "$VMDK" --list)
  scanOnly=$(best "$QELDA" scan "$VMDK" --source "$SOURCE" "$@")
  resumeOnly=$(best "$QELDA" resume "$saved" --image "$VMDK")
  printf '  with --list:    scan %s s  resume %s s  resume / scan %.3f\n' "$scanList" "$resumeList" \
    "$(echo "$resumeList / $scanList" | bc -l)"
  printf '  without --list: scan %s s  resume %s s  resume / scan %.3f\n' "$scanOnly" "$resumeOnly" \
    "$(echo "$resumeOnly / $scanOnly" | bc -l)"
}
bench quick --kind quick
bench advanced --kind advanced --fs ntfs
