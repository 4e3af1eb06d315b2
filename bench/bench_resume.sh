#!/usr/bin/env bash
# Resuming a saved scan of 100,000 files against the scan itself, in the same run: on the
# NTFS volume bench_ntfs_scan.sh makes (made by it when missing, kept in WORK_DIR, default
# BUILD_DIR/bench-ntfs), with the disk in the page cache, best of ROUNDS (default 3):
#   qelda scan disk.vmdk --source N --kind quick --list > /dev/null
#   qelda resume saved.qsi --image disk.vmdk --list > /dev/null
# The scan information is saved once by `scan --save-scan`; both listings are checked to be
# the same before anything is timed. Prints both times, their ratio and the file's size.
#
#   bench_resume.sh BUILD_DIR [WORK_DIR]
set -euo pipefail

if [[ $# -lt 1 ]]; then echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
WORK=$(readlink -m "${2:-$BUILD/bench-ntfs}")
ROUNDS=${ROUNDS:-3}
QELDA=$BUILD/qelda
[[ -x $QELDA ]] || { echo "missing $QELDA (build first)" >&2; exit 1; }
VMDK=$WORK/disk.vmdk
if [[ ! -f $VMDK ]]; then
  echo "making the 100,000-file NTFS volume with bench_ntfs_scan.sh"
  ROUNDS=1 bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_ntfs_scan.sh" "$BUILD" "$WORK" >/dev/null
fi
SOURCE=$("$QELDA" info "$VMDK" | awk -F'\t' 'NF == 7 && $4 == "NTFS" { print $1; exit }')
[[ -n $SOURCE ]] || { echo "qelda info lists no NTFS volume in $VMDK" >&2; exit 1; }

TMP=$(mktemp -d "${TMPDIR:-/tmp}/qelda-bench-resume.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
export XDG_CONFIG_HOME=$TMP/config  # the index of saved scans is kept apart from the user's
SAVED=$TMP/saved.qsi
"$QELDA" scan "$VMDK" --source "$SOURCE" --kind quick --list --save-scan "$SAVED" >"$TMP/scan.list"
"$QELDA" resume "$SAVED" --image "$VMDK" --list >"$TMP/resume.list"
cmp -s "$TMP/scan.list" "$TMP/resume.list" || { echo "the resumed listing differs from the scan's" >&2; exit 1; }
echo "items: $(wc -l <"$TMP/scan.list"); scan information: $(stat -c %s "$SAVED") bytes"

now() { date +%s.%N; }
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
scan=$(best "$QELDA" scan "$VMDK" --source "$SOURCE" --kind quick --list)
resume=$(best "$QELDA" resume "$SAVED" --image "$VMDK" --list)
printf 'qelda scan --list    %s s\nqelda resume --list  %s s\nresume / scan        %.3f\n' "$scan" "$resume" \
  "$(echo "$resume / $scan" | bc -l)"
