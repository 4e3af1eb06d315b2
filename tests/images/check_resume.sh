#!/usr/bin/env bash
# Saved scan information against the scan it came from, on the volumes of the MBR test
# disk (FAT16, NTFS, FAT12, FAT32, exFAT) as sparse VMDK, dynamic VDI and fixed VHD:
#  - `scan --list --save-scan F` then `resume F --list` gives the same lines;
#  - `recover` and `resume F --out` save the same files, byte for byte;
#  - the resume reads the image no more than mounting it and the saved files need (the
#    bytes read from the image file are counted with strace): listing reads nothing of
#    the volume but an exFAT boot sector, saving no more than the files plus a little per file;
#  - hostile files (cut short, counts past the end, a bad cluster size, a path without
#    its terminator, tables that do not add up, a drive that is not attached) are refused
#    with exit status 2 and nothing listed.
#
#   check_resume.sh BUILD_DIR IMAGES_DIR
set -uo pipefail

if [[ $# -ne 2 ]]; then echo "usage: $0 BUILD_DIR IMAGES_DIR" >&2; exit 1; fi
QELDA=$(readlink -f "$1")/qelda
IMAGES=$(readlink -f "$2")
[[ -x $QELDA ]] || { echo "no qelda at $QELDA" >&2; exit 1; }
[[ -f $IMAGES/mbr-monosparse.vmdk ]] || { echo "no test images in $IMAGES" >&2; exit 1; }
command -v strace >/dev/null || { echo "strace is missing" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qelda-resume.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
FAILED=0 CHECKED=0
fail() { printf 'FAIL %s\n' "$*"; FAILED=$((FAILED + 1)); }

# Bytes the command reads from the image file IMAGE (its own output thrown away).
image_bytes() {
  local image=$1; shift
  strace -f -qq -y -e trace=pread64,read -o "$WORK/trace" "$@" >/dev/null 2>&1
  grep -F "<$image>" "$WORK/trace" | awk -F'= ' '{ s += $NF } END { print s + 0 }'
}

# The file-system text `qelda info` gives each volume of the MBR disk, by source index.
declare -A FS=([1]=FAT [2]=NTFS [3]=FAT [4]=FAT32 [5]=exFAT)

# image | source | scan options. The full table on the VMDK; each volume's quick scan on
# the VDI and VHD (the same volumes through other readers).
CASES=(
  "mbr-monosparse.vmdk|1|--kind quick"
  "mbr-monosparse.vmdk|1|--kind deleted"
  "mbr-monosparse.vmdk|1|--kind advanced"
  "mbr-monosparse.vmdk|1|--kind raw --types jpg,png,zip"
  "mbr-monosparse.vmdk|2|--kind quick"
  "mbr-monosparse.vmdk|2|--kind deleted"
  "mbr-monosparse.vmdk|3|--kind quick"
  "mbr-monosparse.vmdk|3|--kind deleted --scan-type deep"
  "mbr-monosparse.vmdk|4|--kind quick"
  "mbr-monosparse.vmdk|4|--kind deleted"
  "mbr-monosparse.vmdk|4|--kind advanced"
  "mbr-monosparse.vmdk|4|--kind quick --linking contiguous"
  "mbr-monosparse.vmdk|5|--kind quick"
  "mbr-monosparse.vmdk|5|--kind deleted"
  "mbr-monosparse.vmdk|5|--kind deleted --scan-type deep"
  "mbr-monosparse.vmdk|5|--kind raw --types jpg,png,zip"
)
for image in mbr-dynamic.vdi mbr-fixed.vhd; do
  for n in 1 2 3 4 5; do CASES+=("$image|$n|--kind quick"); done
done

mounted=()
declare -A MOUNT_BYTES
for case in "${CASES[@]}"; do
  IFS='|' read -r name source opts <<<"$case"
  image=$IMAGES/$name
  tag="$name source $source $opts"
  read -ra scan_opts <<<"$opts"
  CHECKED=$((CHECKED + 1))
  fs=$("$QELDA" info "$image" | awk -F'\t' -v n="$source" '$1 == n { print $4 }')
  [[ $fs == "${FS[$source]}" ]] || { fail "$tag: the source is '$fs', not ${FS[$source]}"; continue; }
  [[ -n ${MOUNT_BYTES[$name]:-} ]] || MOUNT_BYTES[$name]=$(image_bytes "$image" "$QELDA" info "$image")

  saved=$WORK/scan.qsi
  rm -rf "$saved" "$WORK/a" "$WORK/b"
  "$QELDA" scan "$image" --source "$source" "${scan_opts[@]}" --list --save-scan "$saved" >"$WORK/scanned" ||
    { fail "$tag: scan --save-scan exited $?"; continue; }
  "$QELDA" resume "$saved" --image "$image" --list >"$WORK/resumed" || { fail "$tag: resume --list exited $?"; continue; }
  cmp -s "$WORK/scanned" "$WORK/resumed" || fail "$tag: the resumed listing differs: $(diff "$WORK/scanned" "$WORK/resumed" | head -4)"

  "$QELDA" recover "$image" --source "$source" "${scan_opts[@]}" --out "$WORK/a" >/dev/null ||
    { fail "$tag: recover exited $?"; continue; }
  "$QELDA" resume "$saved" --image "$image" --out "$WORK/b" >/dev/null || { fail "$tag: resume --out exited $?"; continue; }
  diff -r "$WORK/a" "$WORK/b" >/dev/null || fail "$tag: the resumed files differ: $(diff -rq "$WORK/a" "$WORK/b" | head -3)"

  # Reads: mounting, an exFAT boot sector, and then only what the saved files need.
  mount=${MOUNT_BYTES[$name]}
  listed=$(image_bytes "$image" "$QELDA" resume "$saved" --image "$image" --list)
  (( listed <= mount + 4096 )) || fail "$tag: listing read $listed bytes of the image, mounting alone $mount"
  rm -rf "$WORK/b"
  written=$(image_bytes "$image" "$QELDA" resume "$saved" --image "$image" --out "$WORK/b")
  files=$(find "$WORK/b" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  count=$(find "$WORK/b" -type f | wc -l)
  (( written <= mount + files + count * 8192 + 65536 )) ||
    fail "$tag: saving $count files of $files bytes read $written bytes of the image (mounting: $mount)"
done

# --- hostile files: each refused with exit status 2 and nothing on stdout -------------------
image=$IMAGES/mbr-monosparse.vmdk
for source in 1 5; do
  good=$WORK/good$source.qsi
  "$QELDA" scan "$image" --source "$source" --save-scan "$good" >/dev/null || { fail "scan of source $source for the hostile files"; continue; }
  size=$(stat -c %s "$good")
  poke() {  # poke FILE OFFSET HEXBYTES
    printf "$(sed 's/../\\x&/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
  }
  hostile() {  # hostile NAME EDIT...: a copy of the good file with the edit made
    local name=$1; shift
    local f=$WORK/$name.qsi
    cp "$good" "$f"
    "$@" "$f"
    CHECKED=$((CHECKED + 1))
    "$QELDA" resume "$f" --image "$image" --list >"$WORK/out" 2>"$WORK/err"
    local rc=$?
    [[ $rc == 2 ]] || fail "source $source, $name: exit status $rc, not 2"
    [[ -s $WORK/out ]] && fail "source $source, $name: listed $(wc -l <"$WORK/out") lines of a refused file"
    grep -q "could not be loaded" "$WORK/err" || fail "source $source, $name: no message: $(head -2 "$WORK/err")"
  }
  cut_short() { truncate -s $((size - 700)) "$1"; }
  header_only() { truncate -s 1024 "$1"; }
  many_items() { poke "$1" 99 ffffff7f; }           # found items past the end of the file
  many_entries() { poke "$1" 95 ffffffff; }         # source entries past the end
  long_tables() { poke "$1" 87 00000000000001; }    # engine tables past the end
  bad_cluster() { poke "$1" 59 0300; }              # 3 sectors a cluster
  open_path() { printf 'A%.0s' $(seq 520) | dd of="$1" bs=1 seek=358 conv=notrunc status=none; }
  short_map() { poke "$1" 11 01000000; }            # a cluster map that does not add up with the tables
  drive_gone() { poke "$1" 958 00; printf 'NO SUCH DRIVE' | dd of="$1" bs=1 seek=878 conv=notrunc status=none; }
  for edit in cut_short header_only many_items many_entries long_tables bad_cluster open_path drive_gone; do
    hostile "$edit" "$edit"
  done
  # The FAT tables end in the highest cluster, after the map.
  [[ $source == 1 ]] && hostile short_map short_map
done

echo "check_resume: $CHECKED checks, $FAILED failed"
[[ $FAILED == 0 ]]
