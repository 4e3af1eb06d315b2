#!/usr/bin/env bash
# The deep lost-volume search over disks made of nothing but copies of one $MFT record
# (every copy implies a volume), at 8, 32 and 128 MiB: the time, the peak memory and the
# volumes listed, and the time per MiB, which stays flat when the search is linear in the
# disk.
#
#   bench_lost_copies.sh BUILD_DIR [WORK_DIR]
#
# The 8 MiB disk is the one tests/lost/make_lost_hostile_images.sh makes (an mkntfs volume's
# $MFT record, every second run of four copies naming its first cluster one further on);
# the larger ones repeat it. Kept in WORK_DIR (default BUILD_DIR/bench-lost-copies). Each
# figure is the best of three runs with the disk in the page cache.
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
bench_start bench-lost-copies "$@"
need_build qelda
need_tools time /usr/bin/time

bash "$BENCH/../tests/lost/make_lost_hostile_images.sh" "$WORK/disks"
printf '%8s %9s %9s %9s %10s\n' disk volumes seconds 's/MiB' 'peak MB'
for times in 1 4 16; do
  disk=$WORK/copies-$((8 * times))m.raw
  if [[ ! -f $disk ]]; then
    for ((i = 0; i < times; i++)); do cat "$WORK/disks/mft-8m.raw"; done >"$disk.tmp"
    mv "$disk.tmp" "$disk"
  fi
  cat "$disk" >/dev/null
  best='' peak=0
  for _ in 1 2 3; do
    /usr/bin/time -o "$WORK/time" -f '%e %M' "$QELDA" lost --deep "$disk" >"$WORK/out" 2>/dev/null
    read -r seconds kb <"$WORK/time"
    if [[ -z $best ]] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$seconds; fi
    ((kb > peak)) && peak=$kb
  done
  awk -v d="$((8 * times)) MiB" -v v="$(wc -l <"$WORK/out")" -v s="$best" -v m="$((8 * times))" -v p="$peak" \
    'BEGIN { printf "%8s %9d %9.2f %9.4f %10.1f\n", d, v, s, s / m, p / 1024 }'
done
