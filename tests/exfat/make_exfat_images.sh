#!/usr/bin/env bash
# Makes the exFAT volume files the exFAT tests read, with mkfs.exfat and exfat-fuse over a
# loop device, and the answers of The Sleuth Kit and dump.exfat beside each one.
#
#   make_exfat_images.sh OUTDIR
#
# For each volume NAME (see VOLUMES below):
#   OUTDIR/NAME.img    the volume (a bare file system, no partition table)
#   OUTDIR/NAME.fls    fls -r -p: every entry, live and deleted
#   OUTDIR/NAME.flsd   fls -r -d -p: deleted entries only
#   OUTDIR/NAME.md5    "md5<TAB>D|-<TAB>inode<TAB>path" of icat of every regular file
#                      (D: deleted; its clusters may have been reused)
#   OUTDIR/NAME.dump   dump.exfat: boot sector fields and the root's system entries
# Needs root, /dev/fuse and a free loop device. The Sleuth Kit's fsstat never ends on some
# of these volumes, so it is not run, and every TSK call runs under timeout.
# Cached: OUTDIR/.stamp holds the sha256 of this script; when it matches, the script exits
# at once, otherwise OUTDIR is rebuilt from scratch.
set -euo pipefail

SCRIPT=$(readlink -f "${BASH_SOURCE[0]}")
if [[ $# -ne 1 ]]; then echo "usage: $0 OUTDIR" >&2; exit 1; fi
OUT=$(readlink -m "$1")
HASH=$(sha256sum "$SCRIPT" | cut -d' ' -f1)
stamp_ok() { [[ -f $OUT/.stamp && $(<"$OUT/.stamp") == "$HASH" ]]; }
if stamp_ok; then exit 0; fi
# Test programs and ctest may start this at the same time: one builds, the others wait and
# then find the stamp.
mkdir -p "$(dirname "$OUT")"
exec 9>"$OUT.lock"
flock 9
if stamp_ok; then exit 0; fi

# Non-ASCII names must reach exfat-fuse as UTF-8.
export LC_ALL=C.UTF-8 TZ=UTC

log() { printf '[make_exfat_images] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

for tool in mkfs.exfat mount.exfat-fuse dump.exfat losetup fls icat md5sum timeout; do
  command -v "$tool" >/dev/null || die "$tool is missing (packages: exfatprogs exfat-fuse sleuthkit)"
done

# ---------------------------------------------------------------- clean-up
# At most one loop device and one FUSE mount are held at a time; whatever is held when the
# script ends, by success, failure or signal, is released here.
WORK='' LOOP='' MNT=''
release_volume() {
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then umount "$MNT" 2>/dev/null || umount -l "$MNT" || true; fi
  if [[ -n $LOOP ]]; then losetup -d "$LOOP" || true; fi
  LOOP=''
}
cleanup() {
  local rc=$?
  release_volume
  if [[ -n $WORK ]]; then rm -rf --one-file-system "$WORK"; fi
  if ((rc != 0)); then log "failed (status $rc); $OUT has no stamp and will be rebuilt"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Tool chatter goes to a log that is shown only when a step fails.
run() {
  if ! "$@" >>"$WORK/tools.log" 2>&1; then
    log "command failed: $*"; tail -n 25 "$WORK/tools.log" >&2; return 1
  fi
}

rm -rf --one-file-system "$OUT"
mkdir -p "$OUT"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qelda-exfat-XXXXXX")
MNT=$WORK/mnt
mkdir -p "$MNT"

# ---------------------------------------------------------------- content
# Text whose every line is distinct, so data read from the wrong place shows.
text_file() { seq -f "$2 line %06g of qelda exfat test data" 1 "$3" >"$1"; }
# Binary bytes of an exact size (deflate output of a counter).
binary_file() { seq -f "$2 %09g" 1 $(($3 / 3 + 1000)) | gzip -n -1 | head -c "$3" >"$1"; }

# fill_volume MOUNT CLUSTER-BYTES: the tree every volume gets, deletions last so that
# nothing overwrites what they leave behind.
fill_volume() {
  local m=$1 cb=$2 i
  mkdir -p "$m/Docs/Reports/2021" "$m/Docs/Empty folder" "$m/a/b/c" "$m/Ελληνικά"
  printf 'qelda exfat volume, clusters of %s bytes\n' "$cb" >"$m/readme.txt"
  : >"$m/empty.txt"
  text_file "$m/Docs/notes.txt" notes 1500
  printf 'summary\n' >"$m/Docs/Reports/2021/summary.txt"
  printf 'kept three levels down\n' >"$m/a/b/c/keep.txt"
  text_file "$m/a/b/c/deep.txt" deep 300
  text_file "$m/Ελληνικά/Ünïcödé — 日本語.txt" unicode 50
  # 240 characters: sixteen name entries in one set.
  text_file "$m/$(printf 'L%.0s' $(seq 1 236)).txt" longname 20
  binary_file "$m/big.bin" big $((cb * 9 + 1234))
  # A directory of 100 empty files outgrows one cluster (up to 128 KiB clusters excluded).
  mkdir "$m/hundred"
  for i in $(seq -w 1 100); do : >"$m/hundred/e$i.txt"; done
  # 60 three-entry sets: with 4 KiB clusters the 43rd set starts at 4032 and ends in the
  # directory's second cluster.
  mkdir "$m/sixty"
  for i in $(seq -w 1 60); do printf 'sixty %s\n' "$i" >"$m/sixty/file-$i.txt"; done
  # A fragmented file: its first clusters, a gap file right after them, the rest after the
  # gap; then the gap goes, leaving a chain that jumps.
  binary_file "$WORK/frag" frag $((cb * 7 + 100))
  head -c $((cb * 3)) "$WORK/frag" >"$m/fragmented.bin"
  binary_file "$m/gap.bin" gap $((cb * 2))
  sync
  tail -c +$((cb * 3 + 1)) "$WORK/frag" >>"$m/fragmented.bin"
  sync
  rm "$m/gap.bin"
  # Deleted last: files, a file three levels down, one set amid a multi-cluster directory,
  # and a folder with a subfolder.
  text_file "$m/Deleted report.txt" deleted 400
  mkdir -p "$m/deldir/inner"
  printf 'inside a deleted folder\n' >"$m/deldir/inner.txt"
  text_file "$m/deldir/inner/deeper.txt" deeper 40
  sync
  rm "$m/Deleted report.txt" "$m/a/b/c/deep.txt" "$m/sixty/file-30.txt"
  rm -r "$m/deldir"
}

# ---------------------------------------------------------------- answers
answers() {  # answers IMAGE BASE
  local img=$1 base=$2 line head path inode mark
  timeout 60 fls -f exfat -r -p "$img" >"$base.fls"
  timeout 60 fls -f exfat -r -d -p "$img" >"$base.flsd"
  : >"$base.md5"
  # Regular files: "r/r INODE:<TAB>path", deleted ones "r/r * INODE:<TAB>path".
  while IFS= read -r line; do
    head=${line%%$'\t'*} path=${line#*$'\t'}
    [[ $head =~ ^r/r\ (\*\ )?([0-9]+):$ ]] || continue
    mark=-; [[ -n ${BASH_REMATCH[1]} ]] && mark=D
    inode=${BASH_REMATCH[2]}
    # The bitmap, the up-case table and the label, as TSK shows them.
    [[ $path == \$* || $path == *' (Volume Label Entry)' ]] && continue
    printf '%s\t%s\t%s\t%s\n' "$(timeout 60 icat -f exfat "$img" "$inode" | md5sum | cut -d' ' -f1)" \
      "$mark" "$inode" "$path" >>"$base.md5"
  done <"$base.fls"
}

# make_volume NAME SIZE CLUSTER-BYTES [mkfs.exfat options]
make_volume() {
  local name=$1 size=$2 cb=$3 img=$OUT/$1.img
  shift 3
  log "making $name"
  truncate -s "$size" "$img"
  LOOP=$(losetup -f --show "$img")
  run mkfs.exfat -L "${name:0:11}" "$@" "$LOOP"
  # The driver runs until umount: it must not hold the lock of fd 9.
  run mount.exfat-fuse "$LOOP" "$MNT" 9>&-
  fill_volume "$MNT" "$cb"
  sync
  umount "$MNT"   # fuseblk: returns once the driver has written everything
  dump.exfat "$LOOP" >"$OUT/$name.dump" 2>>"$WORK/tools.log"
  losetup -d "$LOOP"; LOOP=''
  answers "$img" "$OUT/$name"
}

SECONDS=0
make_volume exfat-8m 8M 4096
make_volume exfat-c512 64M 512 -c 512
make_volume exfat-c4k 64M 4096 -c 4K
make_volume exfat-c128k 64M 131072 -c 128K
make_volume exfat-b4096 64M 4096 -b 4096
make_volume exfat-pack 64M 4096 --pack-bitmap

echo "$HASH" >"$OUT/.stamp"
log "done in ${SECONDS}s"
