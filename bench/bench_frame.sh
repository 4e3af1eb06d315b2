# shellcheck shell=bash disable=SC2034  # the variables set here are for the scripts that source it
# Sourced by the benchmark scripts. It gives each of them the same frame, so that a fix to the
# arguments, the clean-up or the making of a disk around a volume reaches every one:
#
#   source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
#   bench_start DEFAULT_WORK "$@"     BUILD_DIR [WORK_DIR] ...: BUILD, WORK (WORK_DIR, else
#                                     BUILD/DEFAULT_WORK) and QELDA set, the clean-up armed,
#                                     the C.UTF-8 locale and UTC for every tool
#   need_build NAME...                dies naming what is missing under BUILD
#   need_tools PACKAGES TOOL...       dies naming the first tool missing
#   disk_made || make_disk            the script's own making, skipped while WORK/.made
#                                     names LAYOUT; make_disk ends with mark_made
#   ...                               the script's own measurement
#
# The clean-up runs on every way out (success, failure, INT, TERM): the process group
# FILL_PID is stopped, the mount at MNT released and its FUSE driver FUSE_PID waited for, the
# loop device LOOP detached and the folder TMP removed. A script holds at most one of each at
# a time, sets the variable as soon as it holds it and empties it once it has let it go.
#
# Variables it sets: BENCH (the folder of the benchmarks), START (the sector partition 1
# starts at on the disks made here), BUILD, WORK, QELDA, TMP, MNT, LOOP, FUSE_PID, FILL_PID.
# A script may set BENCH_USAGE (the usage text after its name) before bench_start.

BENCH=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
START=2048
BUILD='' WORK='' QELDA='' TMP='' MNT='' LOOP='' FUSE_PID='' FILL_PID=''

bench_start() {
  local default=$1
  shift
  if (($# < 1)); then echo "usage: $0 ${BENCH_USAGE:-BUILD_DIR [WORK_DIR]}" >&2; exit 1; fi
  BUILD=$(readlink -f "$1")
  WORK=$(readlink -m "${2:-$BUILD/$default}")
  QELDA=$BUILD/qelda
  export LC_ALL=C.UTF-8 TZ=UTC
  trap bench_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# need_build NAME...: every BUILD/NAME is a program, or the script dies naming them.
need_build() {
  local name missing=0 names=''
  for name in "$@"; do
    [[ -x $BUILD/$name ]] || missing=1
    names+="${names:+ or }$BUILD/$name"
  done
  if ((missing)); then echo "missing $names (build first)" >&2; exit 1; fi
}

# need_tools PACKAGES TOOL...: every TOOL is on the PATH, or the script dies naming it and the
# packages that hold the tools.
need_tools() {
  local packages=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$tool is needed (packages: $packages)" >&2; exit 1; }
  done
}

now() { date +%s.%N; }
# elapsed T0 [FORMAT]: the seconds since T0 (from now), printed with FORMAT (default %.1f).
elapsed() { awk -v a="$1" -v b="$(now)" -v f="${2:-%.1f}" 'BEGIN { printf f, b - a }'; }

# best_seconds SECONDS_SO_FAR COMMAND...: runs COMMAND, prints the shorter of its time and
# SECONDS_SO_FAR.
best_seconds() {
  local so_far=$1 t0 t1
  shift
  t0=$(now)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
  t1=$(now)
  awk -v a="$so_far" -v x="$t0" -v y="$t1" 'BEGIN { d = y - x; print (d < a ? d : a) }'
}

# ---------------------------------------------------------------- the made disk
# disk_made: WORK/.made names LAYOUT, so the disk made for that layout is there.
disk_made() { [[ -f $WORK/.made && $(<"$WORK/.made") == "$LAYOUT" ]]; }
mark_made() { printf '%s\n' "$LAYOUT" >"$WORK/.made"; }

# memory_folder: TMP a new folder in memory when there is room, else under WORK (many small
# files are slow to make on a busy disk), with MNT, an empty mount point, in it.
# drop_memory_folder removes it with what it holds.
memory_folder() {
  TMP=$(mktemp -d /dev/shm/qelda-bench-XXXXXX 2>/dev/null) || TMP=$(mktemp -d "$WORK/make-XXXXXX")
  MNT=$TMP/mnt
  mkdir "$MNT"
}
drop_memory_folder() {
  rm -rf --one-file-system "$TMP"
  TMP='' MNT=''
}

# logged LOG COMMAND...: COMMAND's chatter appended to LOG, which is shown when it fails.
logged() {
  local log=$1
  shift
  "$@" >>"$log" 2>&1 || { cat "$log" >&2; exit 1; }
}

# in_group COMMAND...: COMMAND run in a process group of its own and waited for here, so that
# a signal to the script ends it at once (the clean-up stops the group) instead of after it.
# COMMAND reads the script's standard input (a here-document), not the /dev/null a command
# in the background is given.
in_group() {
  setsid "$@" <&0 &
  FILL_PID=$!
  wait "$FILL_PID"
  FILL_PID=''
}

# mount_ntfs VOLUME LOG: VOLUME mounted at MNT by ntfs-3g, in the foreground of a background
# job so that unmount_ntfs can wait for it to have written everything.
mount_ntfs() {
  ntfs-3g -o no_detach,big_writes "$1" "$MNT" >>"$2" 2>&1 &
  FUSE_PID=$!
  local _
  for _ in $(seq 1 100); do mountpoint -q "$MNT" && return 0; sleep 0.1; done
  echo "ntfs-3g did not mount the volume" >&2
  exit 1
}
unmount_ntfs() {
  fusermount -u "$MNT"
  wait "$FUSE_PID"
  FUSE_PID=''
}

# release_volume: whatever is mounted at MNT unmounted, its ntfs-3g waited for, LOOP detached.
release_volume() {
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then
    umount "$MNT" 2>/dev/null || fusermount -u "$MNT" 2>/dev/null || umount -l "$MNT" || true
  fi
  if [[ -n $FUSE_PID ]]; then wait "$FUSE_PID" 2>/dev/null || true; fi
  FUSE_PID=''
  if [[ -n $LOOP ]]; then losetup -d "$LOOP" || true; fi
  LOOP=''
}

bench_cleanup() {
  local rc=$? _
  if [[ -n $FILL_PID ]]; then
    kill -- -"$FILL_PID" 2>/dev/null || kill "$FILL_PID" 2>/dev/null || true
    wait "$FILL_PID" 2>/dev/null || true
    # The group's writers let go of their files on the mount before it is released.
    for _ in $(seq 1 50); do kill -0 -- -"$FILL_PID" 2>/dev/null || break; sleep 0.1; done
  fi
  release_volume
  if [[ -n $TMP ]]; then rm -rf --one-file-system "$TMP"; fi
  exit "$rc"
}

# ---------------------------------------------------------------- the disk around a volume
# mbr_disk RAW TYPE SECTORS [VOLUME]: RAW made a disk whose MBR (sfdisk) has partition 1 of
# TYPE (7: NTFS or exFAT, c: FAT32), SECTORS long from sector START, and a MiB free after it;
# VOLUME, when given, copied into place with its holes kept.
mbr_disk() {
  local raw=$1 type=$2 sectors=$3 volume=${4:-}
  truncate -s 0 "$raw"
  truncate -s $(((START + sectors) * 512 + (1 << 20))) "$raw"
  printf 'label: dos\nstart=%d, size=%d, type=%s\n' "$START" "$sectors" "$type" | sfdisk -q "$raw"
  if [[ -n $volume ]]; then
    dd if="$volume" of="$raw" bs=1M seek=$((START * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
  fi
}

# mbr_head FILE TYPE SECTORS: FILE the first START sectors of such a disk alone, the MBR and
# the gap after it, for a VMDK that puts the volume's own file behind them.
mbr_head() {
  python3 - "$1" "$START" "$3" "$2" <<'PY'
import struct, sys
mbr = bytearray(int(sys.argv[2]) * 512)
mbr[0x1BE + 4] = int(sys.argv[4], 16)
struct.pack_into("<II", mbr, 0x1BE + 8, int(sys.argv[2]), int(sys.argv[3]))
mbr[510:512] = b"\x55\xaa"
open(sys.argv[1], "wb").write(mbr)
PY
}

# flat_vmdk VMDK FILE...: VMDK a monolithicFlat descriptor of the FILEs (in its folder), one
# after the other, each as long as it is.
flat_vmdk() {
  local vmdk=$1 file
  shift
  {
    printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\n'
    for file in "$@"; do printf 'RW %d FLAT "%s" 0\n' $(($(stat -c %s "$file") / 512)) "$(basename "$file")"; done
  } >"$vmdk"
}
