#!/usr/bin/env bash
# Read throughput of the sparse image formats against qemu-img on the same disk.
#
#   bench_sparse.sh BUILD_DIR [WORK_DIR]
#
# Makes (once, kept in WORK_DIR, default BUILD_DIR/bench-sparse) a 4 GiB raw disk holding
# 2 GiB of deterministic non-zero data in 64 MiB stretches between 64 MiB holes, converts it
# to a monolithicSparse VMDK, a dynamic VDI and a dynamic VHD, then for each image times
#   qelda_read_disk IMAGE > FILE        (every sector through the sector-read entry point,
#                                        written as qemu-img writes a raw file: holes for zeros)
#   qemu-img convert -O raw IMAGE FILE
# in the same run, into the same folder, and prints MB/s of the virtual disk and the ratio
# to qemu-img (best of three rounds each).
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
bench_start bench-sparse "$@"
READ=$BUILD/tests/qelda_read_disk
need_build tests/qelda_read_disk
need_tools qemu-utils qemu-img
mkdir -p "$WORK"

RAW=$WORK/bench.raw
DISK_MIB=4096
STRETCH_MIB=64
if [[ ! -f $WORK/.made ]]; then
  rm -f "$WORK"/bench.*
  truncate -s ${DISK_MIB}M "$RAW"
  # Every 128 MiB, a 64 MiB stretch of numbered lines: non-zero and the same on every run.
  for ((i = 0; i < DISK_MIB / (2 * STRETCH_MIB); i++)); do
    { seq -f "qelda bench stretch $i line %012g ................................................" 1 2000000 || true; } |
      { head -c $((STRETCH_MIB << 20)) || true; } |
      dd of="$RAW" bs=1M seek=$((i * 2 * STRETCH_MIB)) conv=notrunc status=none iflag=fullblock
  done
  qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse "$RAW" "$WORK/bench.vmdk"
  qemu-img convert -f raw -O vdi "$RAW" "$WORK/bench.vdi"
  qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on "$RAW" "$WORK/bench.vhd"
  touch "$WORK/.made"
fi

mbps() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.0f", b / 1048576 / t }'; }
# best_time SECONDS_SO_FAR COMMAND...: runs COMMAND (output to $WORK/out.raw), keeps the shorter time.
best_time() {
  local best=$1 t0 t1; shift
  rm -f "$WORK/out.raw"
  t0=$(now); "$@"; t1=$(now)
  rm -f "$WORK/out.raw"
  awk -v a="$best" -v x="$t0" -v y="$t1" 'BEGIN { d = y - x; print (d < a ? d : a) }'
}
to_file() { "$@" >"$WORK/out.raw"; }

printf '%-11s %16s %14s %8s\n' image "qelda MB/s" "qemu-img MB/s" ratio
for pair in bench.vmdk:vmdk bench.vdi:vdi bench.vhd:vpc; do
  img=$WORK/${pair%%:*} fmt=${pair##*:}
  bytes=$(qemu-img info --output=json -f "$fmt" "$img" | sed -n 's/.*"virtual-size": *\([0-9]*\).*/\1/p' | head -n 1)
  cat "$img" >/dev/null   # every reader starts from a warm cache
  a=999999 q=999999
  for _ in 1 2 3; do
    a=$(best_time "$a" to_file "$READ" "$img")
    q=$(best_time "$q" qemu-img convert -f "$fmt" -O raw "$img" "$WORK/out.raw")
  done
  ra=$(mbps "$bytes" "$a") rq=$(mbps "$bytes" "$q")
  printf '%-11s %16s %14s %8s\n' "${pair%%:*}" "$ra" "$rq" "$(awk -v x="$ra" -v y="$rq" 'BEGIN { printf "%.2f", x / y }')"
done
