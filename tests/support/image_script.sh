# shellcheck shell=bash disable=SC2034  # the variables set here are for the scripts that source it
# Sourced by the scripts that make test images with the real tools. It gives each of them the
# same frame, so that a fix to the cache, the lock or the clean-up reaches every one:
#
#   source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
#   image_script_start "$@" [-- INPUT...]   one argument, OUTDIR; exits 0 at once when the
#                                           cache is good, else takes the lock
#   need_tools PACKAGES TOOL...             dies naming the first tool missing
#   image_script_fresh [MARKER]             OUTDIR emptied, WORK and MNT made
#   ...                                     the script's own work
#   image_script_done                       the stamp written: the cache is good
#
# The cache: OUTDIR/.stamp holds the sha256 of the script, of this file and of the INPUTs the
# script names (another script it runs, fixtures it plants); a change to any of them makes
# OUTDIR again from scratch. Test programs and ctest may start a script at the same time: one
# builds under the lock OUTDIR.lock, the others wait there and then find the stamp.
#
# The clean-up runs on every way out (success, failure, INT, TERM): the FUSE mount at MNT is
# released, the driver process FUSE_PID waited for, the loop device LOOP detached and the
# work folder WORK removed. A script holds at most one of each at a time and sets the
# variable as soon as it holds it.
#
# Variables it sets: IMAGE_SCRIPT (the script's own path), HERE (its folder), OUT, HASH, WORK,
# MNT, LOOP, FUSE_PID. A script may set IMAGE_USAGE (the usage text after its name) before
# image_script_start, and redefine image_cached (the test of the cache) after sourcing.

IMAGE_SCRIPT=$(readlink -f "${BASH_SOURCE[1]}")
IMAGE_SCRIPT_LIBRARY=$(readlink -f "${BASH_SOURCE[0]}")
IMAGE_SCRIPT_NAME=$(basename "$IMAGE_SCRIPT" .sh)
HERE=$(dirname "$IMAGE_SCRIPT")
IMAGE_USAGE=${IMAGE_USAGE:-OUTDIR}
OUT='' HASH='' WORK='' MNT='' LOOP='' FUSE_PID=''

log() { printf '[%s] %s\n' "$IMAGE_SCRIPT_NAME" "$*" >&2; }
die() { log "error: $*"; exit 1; }

# stamp_ok FILE: FILE holds this run's hash.
stamp_ok() { [[ -f $1 && $(<"$1") == "$HASH" ]]; }
image_cached() { stamp_ok "$OUT/.stamp"; }

image_script_start() {
  local args=()
  while (($# > 0)) && [[ $1 != -- ]]; do args+=("$1"); shift; done
  if (($# > 0)); then shift; fi
  if ((${#args[@]} != 1)); then echo "usage: $0 $IMAGE_USAGE" >&2; exit 1; fi
  local input
  for input in "$@"; do [[ -f $input ]] || { echo "$0: $input is missing" >&2; exit 1; }; done
  OUT=$(readlink -m "${args[0]}")
  HASH=$(cat "$IMAGE_SCRIPT" "$IMAGE_SCRIPT_LIBRARY" "$@" | sha256sum | cut -d' ' -f1)
  if image_cached; then exit 0; fi
  mkdir -p "$(dirname "$OUT")"
  exec 9>"$OUT.lock"
  flock 9
  if image_cached; then exit 0; fi   # another run made it while this one waited
  trap image_script_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# need_tools PACKAGES TOOL...: every TOOL is on the PATH, or the script dies naming it and the
# packages that hold the tools.
need_tools() {
  local packages=$1 tool; shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || die "$tool is missing (packages: $packages)"
  done
}

# pillow_python: the name of a Python that has Pillow, in PY.
pillow_python() {
  local p
  PY=''
  for p in /usr/bin/python3 python3; do
    if command -v "$p" >/dev/null && "$p" -c 'import PIL' 2>/dev/null; then PY=$p; return 0; fi
  done
  die "Python with Pillow (python3-pil) is missing"
}

# image_script_fresh [MARKER]: OUTDIR emptied and made again, with the work folder and the
# mount point in it. With MARKER, OUTDIR is emptied only when it is empty or holds that file
# (left by an earlier run): a folder this script did not make is never removed.
image_script_fresh() {
  local marker=${1:-}
  if [[ -n $marker && -d $OUT && -n $(ls -A "$OUT") && ! -e $OUT/$marker ]]; then
    die "$OUT is not empty and was not made by this script; not removing it"
  fi
  rm -rf --one-file-system "$OUT"
  mkdir -p "$OUT"
  if [[ -n $marker ]]; then : >"$OUT/$marker"; fi
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/qelda-$IMAGE_SCRIPT_NAME.XXXXXX")
  MNT=$WORK/mnt
  mkdir -p "$MNT"
  SECONDS=0
}

image_script_done() {
  echo "$HASH" >"$OUT/.stamp"
  log "done in ${SECONDS}s"
}

# run CMD...: CMD's chatter goes to a log that is shown only when it fails.
run() {
  if ! "$@" >>"$WORK/tools.log" 2>&1; then
    log "command failed: $*"; tail -n 25 "$WORK/tools.log" >&2; return 1
  fi
}

# sleuth_answers IMG NAME FILES: what The Sleuth Kit reads of the volume at sector 2048 of
# IMG: `fls -r -p -l` in OUT/NAME.fls, and icat's bytes of every entry the awk condition FILES
# picks from it in OUT/NAME.files/INODE.
sleuth_answers() {
  local img=$1 name=$2 files=$3
  fls -r -p -l -o 2048 "$img" >"$OUT/$name.fls"
  mkdir -p "$OUT/$name.files"
  awk -F'\t' "$files"' { split($1, h, " "); n = h[2] == "*" ? h[3] : h[2]; sub(/:$/, "", n); print n }' \
    "$OUT/$name.fls" | while read -r inode; do
    icat -o 2048 "$img" "$inode" >"$OUT/$name.files/$inode"
  done
}

# mount_ntfs FILE [ntfs-3g options]: FILE mounted at MNT by ntfs-3g in the foreground of a
# background job, so that release_volume can wait for it to have written everything. Drivers
# run until unmounted: they must not hold the lock of fd 9.
mount_ntfs() {
  ntfs-3g -o "no_detach${2:+,$2}" "$1" "$MNT" 9>&- >>"$WORK/tools.log" 2>&1 &
  FUSE_PID=$!
  local _
  for _ in $(seq 1 100); do
    mountpoint -q "$MNT" && return 0
    sleep 0.1
  done
  die "ntfs-3g did not mount $1"
}

# mount_fuse DRIVER DEVICE: DEVICE mounted at MNT by a FUSE driver that detaches (exfat-fuse,
# ntfs-3g), its chatter logged as run logs it.
mount_fuse() { run "$1" "$2" "$MNT" 9>&-; }

# attach_loop [losetup options] FILE: a loop device over FILE, in LOOP.
attach_loop() { LOOP=$(losetup -f --show "$@"); }

# release_volume: whatever is mounted at MNT unmounted, its driver waited for, LOOP detached.
release_volume() {
  if [[ -n $MNT ]] && mountpoint -q "$MNT"; then
    umount "$MNT" 2>/dev/null || fusermount -u "$MNT" 2>/dev/null || umount -l "$MNT" || true
  fi
  if [[ -n $FUSE_PID ]]; then wait "$FUSE_PID" 2>/dev/null || true; fi
  FUSE_PID=''
  if [[ -n $LOOP ]]; then losetup -d "$LOOP" || true; fi
  LOOP=''
}

image_script_cleanup() {
  local rc=$?
  release_volume
  if [[ -n $WORK ]]; then rm -rf --one-file-system "$WORK"; fi
  if ((rc != 0)); then log "failed (status $rc); $OUT has no stamp and will be rebuilt"; fi
  exit "$rc"
}
