#!/usr/bin/env bash
# The lost-volume search on a multi-GiB disk whose partition table is wiped, beside the
# reference tools in the same run:
#  - the quick search against TestDisk's search of the same disk (time, and the volumes
#    each finds, held against mmls of the disk before the wipe);
#  - the deep search against a plain sequential read of the disk (cat IMG > /dev/null).
#
#   bench_lost_search.sh BUILD_DIR [WORK_DIR] [GIB]
#
# The disk (GIB GiB, default 4, filled with random bytes like a used disk) is made once
# and kept in WORK_DIR (default BUILD_DIR/bench-lost): four volumes on cylinder
# boundaries of 255 heads and 63 sectors, two NTFS, a FAT32 and an exFAT. Each timing is
# the best of three runs with the disk in the page cache.
set -euo pipefail

# shellcheck source=bench/bench_frame.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/bench_frame.sh"
BENCH_USAGE="BUILD_DIR [WORK_DIR] [GIB]"
bench_start bench-lost "$@"
GIB=${3:-4}
need_build qelda
need_tools "testdisk fdisk ntfs-3g dosfstools exfatprogs sleuthkit" sfdisk mkntfs mkfs.fat mkfs.exfat mmls
mkdir -p "$WORK"
DISK=$WORK/disk-${GIB}g.raw
CYL=16065
SECTORS=$((GIB * 1024 * 1024 * 2))

if [[ ! -f $DISK.done ]]; then
  echo "making $DISK (${GIB} GiB of random bytes, then four volumes)" >&2
  rm -f "$DISK"
  head -c $((SECTORS * 512)) /dev/urandom >"$DISK"
  # Volume starts and lengths in sectors, each ending right before a cylinder.
  # shellcheck disable=SC2017  # whole cylinders first, then three quarters of them
  c1=$((SECTORS / CYL / 4)) c2=$((SECTORS / CYL / 2)) c3=$((SECTORS / CYL * 3 / 4)) c4=$((SECTORS / CYL - 1))
  s1=63 n1=$((c1 * CYL - 63))
  s2=$((c1 * CYL + 63)) n2=$((c2 * CYL - s2))
  s3=$((c2 * CYL)) n3=$((c3 * CYL - s3))
  s4=$((c3 * CYL + 63)) n4=$((c4 * CYL - s4))
  printf 'label: dos\nstart=%d, size=%d, type=7\nstart=%d, size=%d, type=c\nstart=%d, size=%d, type=7\nstart=%d, size=%d, type=7\n' \
    $s1 $n1 $s2 $n2 $s3 $n3 $s4 $n4 | sfdisk -q "$DISK"
  vol=$WORK/volume.tmp
  ntfs_at() {
    rm -f "$vol"; truncate -s $(($2 * 512)) "$vol"
    mkntfs -F -Q -q -p "$1" -H 255 -S 63 "$vol" >/dev/null
    dd if="$vol" of="$DISK" bs=1M seek=$(($1 * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
  }
  ntfs_at $s1 $n1
  mkfs.fat -F 32 -h $s2 --offset=$s2 "$DISK" $((n2 / 2)) >/dev/null
  rm -f "$vol"; truncate -s $((n3 * 512)) "$vol"
  mkfs.exfat "$vol" >/dev/null
  dd if="$vol" of="$DISK" bs=1M seek=$((s3 * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
  ntfs_at $s4 $n4
  rm -f "$vol"
  mmls "$DISK" >"$DISK.mmls"
  dd if=/dev/zero of="$DISK" bs=512 count=1 conv=notrunc status=none
  touch "$DISK.done"
fi

# The volumes before the wipe: "start length" per line.
awk '$2 ~ /^[0-9]+:[0-9]+$/ { print $3 + 0, $5 + 0 }' "$DISK.mmls" >"$WORK/truth"

best_of_three() {  # command...: the shortest of three runs, in milliseconds
  local best='' t0 t1
  for _ in 1 2 3; do
    t0=$(date +%s%N); "$@" >/dev/null 2>&1; t1=$(date +%s%N)
    local ms=$(((t1 - t0) / 1000000))
    if [[ -z $best ]] || ((ms < best)); then best=$ms; fi
  done
  echo "$best"
}

cat "$DISK" >/dev/null   # into the page cache

# ---- quick search against TestDisk's search (left out where TestDisk is not installed)
cd "$WORK"
if command -v testdisk >/dev/null; then
testdisk_search() { rm -f testdisk.log; testdisk /log /cmd "$DISK" partition_i386,analyze,search </dev/null >/dev/null 2>&1; }
qelda_ms=$(best_of_three "$QELDA" lost "$DISK")
testdisk_ms=$(best_of_three testdisk_search)
"$QELDA" lost "$DISK" | awk -F'\t' '{ print $5, $6, $4 }' >"$WORK/qelda.found"
testdisk_search
# TestDisk's last partition list, its CHS starts turned into sectors.
read -r heads spt < <(sed -n 's/.* - CHS [0-9]* \([0-9]*\) \([0-9]*\)$/\1 \2/p' testdisk.log | tail -1)
awk -v h="$heads" -v s="$spt" '/^interface_write\(\)/ { n = 0; delete lines; next }
  /^ *[0-9]+ [*PLEX] / { lines[++n] = $0 }
  END { for (i = 1; i <= n; i++) { split(lines[i], f, " ");
    k = 0; for (j = 1; j <= length(f); j++) if (f[j] ~ /^[0-9]+$/) num[++k] = f[j];
    # index, then start C H S, end C H S, length
    print (num[2] * h + num[3]) * s + num[4] - 1, num[8], "" } }' testdisk.log >"$WORK/testdisk.found"

judge() {  # FOUND: "found/all, phantoms"
  awk 'NR == FNR { want[$1 " " $2] = 1; starts[$1] = 1; n++; next }
       { if (($1 " " $2) in want || $1 in starts) { if (!seen[$1]++) hit++ } else phantom++ }
       END { printf "%d of %d volumes, %d phantom%s", hit, n, phantom, phantom == 1 ? "" : "s" }' "$WORK/truth" "$1"
}
echo "disk: $DISK ($GIB GiB, $(wc -l <"$WORK/truth") volumes before the wipe)"
printf 'quick search   qelda lost      %6d ms   %s\n' "$qelda_ms" "$(judge "$WORK/qelda.found")"
printf '               testdisk search %6d ms   %s\n' "$testdisk_ms" "$(judge "$WORK/testdisk.found")"
echo "  truth (start length):      $(tr '\n' ';' <"$WORK/truth")"
echo "  qelda (start length fs):   $(tr '\n' ';' <"$WORK/qelda.found")"
echo "  testdisk (start length):   $(tr '\n' ';' <"$WORK/testdisk.found")"
else
  echo "disk: $DISK ($GIB GiB); testdisk is not installed (package testdisk): no quick-search comparison"
fi

# ---- deep search against a sequential read
cat_ms=$(best_of_three cat "$DISK")
deep_ms=$(best_of_three "$QELDA" lost "$DISK" --deep)
mib=$((SECTORS / 2048))
awk -v m="$mib" -v c="$cat_ms" -v d="$deep_ms" 'BEGIN {
  printf "deep search    qelda lost --deep %6d ms  %7.0f MiB/s\n", d, m * 1000 / d
  printf "               cat > /dev/null   %6d ms  %7.0f MiB/s   deep/cat throughput %.2f\n", c, m * 1000 / c, c / d }'
# shellcheck source=bench/paired_rounds.sh
source "$BENCH/paired_rounds.sh"
paired_rounds "${ROUNDS:-5}" "$DISK" "cat disk > /dev/null" cat "$DISK" -- "qelda lost --deep" "$QELDA" lost "$DISK" --deep
