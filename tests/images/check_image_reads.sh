#!/usr/bin/env bash
# Reads every image of the corpus through the sector-read entry point and holds the bytes
# against qemu-img's raw conversion of the same image:
#   - each VMDK (flat, sparse, split flat, split sparse), VDI and VHD, whole disk, byte for byte;
#   - split images whose descriptor is lost, picking each extent file in turn;
#   - flat descriptors rewritten with CRLF line ends and an extent name holding spaces;
#   - a stream-optimized VMDK, which is refused (message 593) and never misread.
#
#   check_image_reads.sh BUILD_DIR IMAGES_DIR
#
# qemu-img's conversions are kept in IMAGES_DIR/rawcache/ and made once.
set -euo pipefail

if [[ $# -ne 2 ]]; then echo "usage: $0 BUILD_DIR IMAGES_DIR" >&2; exit 1; fi
BUILD=$(readlink -f "$1")
IMAGES=$(readlink -f "$2")
READ=$BUILD/tests/qelda_read_disk
QELDA=$BUILD/qelda
CACHE=$IMAGES/rawcache
for tool in "$READ" "$QELDA"; do [[ -x $tool ]] || { echo "missing $tool" >&2; exit 1; }; done
command -v qemu-img >/dev/null || { echo "qemu-img is needed" >&2; exit 1; }

log() { printf '[check_image_reads] %s\n' "$*" >&2; }

IMAGES_LIST=(mbr-monoflat.vmdk mbr-monosparse.vmdk mbr-static.vdi mbr-dynamic.vdi mbr-fixed.vhd mbr-dynamic.vhd
             gpt-monosparse.vmdk gpt-dynamic.vdi gpt-fixed.vhd
             big-2gbflat/big.vmdk big-2gbsparse/big.vmdk big-monosparse.vmdk)
# Nothing is written into a corpus that is not there (its maker refuses folders it did not make).
[[ -e $IMAGES/.qelda-images ]] || { log "FAIL $IMAGES is not a corpus made by make_images.sh"; exit 1; }
for f in "${IMAGES_LIST[@]}" mbr-stream.vmdk mbr-monoflat-flat.vmdk; do
  [[ -f $IMAGES/$f ]] || { log "FAIL missing image $f"; exit 1; }
done

mkdir -p "$CACHE"
WORK=$(mktemp -d "$CACHE/work.XXXXXX")   # beside the images: hard links work there
trap 'rm -rf --one-file-system "$WORK"' EXIT

# Formats are named to qemu-img: a fixed VHD has nothing at byte 0 to tell it by.
format_of() {
  case $1 in
    *.vhd) echo vpc ;;
    *.vdi) echo vdi ;;
    *.vmdk) echo vmdk ;;
    *) echo raw ;;
  esac
}

# raw_of IMAGE: qemu-img's raw conversion of IMAGE (a path under IMAGES), made once.
raw_of() {
  local rel=${1#"$IMAGES"/} out
  out=$CACHE/${rel//\//_}.qemu-raw   # not *.raw: the corpus lists its own raw disks
  if [[ ! -f $out ]]; then
    qemu-img convert -f "$(format_of "$1")" -O raw "$1" "$out.part.$$" && mv "$out.part.$$" "$out"
  fi
  printf '%s\n' "$out"
}

# same IMAGE REFERENCE: our whole-disk read of IMAGE equals REFERENCE byte for byte, and
# every sector could be read.
same() {
  local image=$1 ref=$2 err
  err=$(mktemp "$WORK/err.XXXXXX")
  if ! cmp -s <("$READ" "$image" 2>"$err") "$ref"; then
    log "FAIL $image differs from $ref"; cat "$err" >&2; return 1
  fi
  if [[ -s $err ]]; then log "FAIL $image: $(cat "$err")"; return 1; fi
  image=${image#"$WORK"/}
  log "ok   ${image#"$IMAGES"/}"
}

# Reads run side by side; each job's status is collected at the end.
PIDS=()
NAMES=()
job() { "$@" & PIDS+=($!); NAMES+=("$*"); }

# ---------------------------------------------------------------- whole images
for f in "${IMAGES_LIST[@]}"; do raw_of "$IMAGES/$f" >/dev/null; done
for f in "${IMAGES_LIST[@]}"; do job same "$IMAGES/$f" "$(raw_of "$IMAGES/$f")"; done

# ---------------------------------------------------------------- descriptor lost
# The extent files alone: whichever one is picked, the whole split image is read.
for kind in 2gbflat 2gbsparse; do
  d=$WORK/lost-$kind
  mkdir "$d"
  for f in "$IMAGES/big-$kind"/big-[fs]0*.vmdk; do ln "$f" "$d/" 2>/dev/null || cp --sparse=always "$f" "$d/"; done
  ref=$(raw_of "$IMAGES/big-$kind/big.vmdk")
  for f in "$d"/*.vmdk; do job same "$f" "$ref"; done
done

# ---------------------------------------------------------------- descriptors as Windows writes them
# CRLF line ends and an extent name with spaces in it.
d=$WORK/crlf-monoflat
mkdir "$d"
ln "$IMAGES/mbr-monoflat-flat.vmdk" "$d/mbr mono flat-flat.vmdk" 2>/dev/null ||
  cp --sparse=always "$IMAGES/mbr-monoflat-flat.vmdk" "$d/mbr mono flat-flat.vmdk"
tr -d '\0' <"$IMAGES/mbr-monoflat.vmdk" | sed -e 's/"mbr-monoflat-flat.vmdk"/"mbr mono flat-flat.vmdk"/' -e 's/$/\r/' \
  >"$d/mbr mono.vmdk"
grep -q '"mbr mono flat-flat.vmdk"' "$d/mbr mono.vmdk" || { log "FAIL descriptor rewrite"; exit 1; }
job same "$d/mbr mono.vmdk" "$(raw_of "$IMAGES/mbr-monoflat.vmdk")"

d=$WORK/crlf-2gbflat
mkdir "$d"
for f in "$IMAGES"/big-2gbflat/big-f00*.vmdk; do
  n=$(basename "$f"); n=${n/big-f002.vmdk/big f002 moved.vmdk}
  ln "$f" "$d/$n" 2>/dev/null || cp --sparse=always "$f" "$d/$n"
done
tr -d '\0' <"$IMAGES/big-2gbflat/big.vmdk" | sed -e 's/"big-f002.vmdk"/"big f002 moved.vmdk"/' -e 's/$/\r/' >"$d/big.vmdk"
grep -q '"big f002 moved.vmdk"' "$d/big.vmdk" || { log "FAIL descriptor rewrite"; exit 1; }
job same "$d/big.vmdk" "$(raw_of "$IMAGES/big-2gbflat/big.vmdk")"

# ---------------------------------------------------------------- stream-optimized: refused
stream_refused() {
  local img=$IMAGES/mbr-stream.vmdk out err bytes sectors
  out=$(mktemp "$WORK/out.XXXXXX"); err=$(mktemp "$WORK/err.XXXXXX")
  if ! "$QELDA" info "$img" >"$out" 2>"$err"; then log "FAIL qelda info $img exited $?"; cat "$err" >&2; return 1; fi
  grep -q "Virtual machine image is corrupt. Use 'Raw Recovery' option to recover data." "$err" ||
    { log "FAIL no message 593 for $img"; cat "$err" >&2; return 1; }
  # The whole disk is listed with the length the image declares ...
  bytes=$(qemu-img info --output=json "$img" | sed -n 's/.*"virtual-size": *\([0-9]*\).*/\1/p' | head -n 1)
  sectors=$((bytes / 512))
  grep -q "^Disk length: $sectors sectors" "$out" ||
    { log "FAIL $img: expected a disk of $sectors sectors"; cat "$out" >&2; return 1; }
  # ... and nothing of it is read: compressed grains must never pass for sectors.
  if ! cmp -s <("$READ" "$img" 2>/dev/null) <(head -c "$bytes" /dev/zero); then
    log "FAIL $img was read"; return 1
  fi
  log "ok   mbr-stream.vmdk refused with 593, listed as $sectors sectors, nothing read"
}
job stream_refused

# ---------------------------------------------------------------- a low limit of open files
# A split image holds all its files open: the command lifts the soft limit of open files to
# the hard one, so that no piece of a split disk is left missing where the soft limit is low.
few_files() {
  local out
  out=$( (ulimit -Sn 6 && "$QELDA" info "$IMAGES/big-2gbsparse/big.vmdk") 2>&1) ||
    { log "FAIL info under a soft limit of 6 open files"; printf '%s\n' "$out" >&2; return 1; }
  if grep -q '(Missing)' <<<"$out"; then
    log "FAIL pieces missing under a soft limit of 6 open files"; printf '%s\n' "$out" >&2; return 1
  fi
  log "ok   big-2gbsparse/big.vmdk listed whole under a soft limit of 6 open files"
}
job few_files

failed=0
for i in "${!PIDS[@]}"; do
  if ! wait "${PIDS[$i]}"; then failed=$((failed + 1)); log "failed: ${NAMES[$i]}"; fi
done
if ((failed)); then log "$failed check(s) failed"; exit 1; fi
log "all image reads match"
