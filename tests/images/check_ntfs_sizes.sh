#!/usr/bin/env bash
# The real `qelda recover` over a 64 MiB NTFS volume that holds files longer than itself (a
# sparse one of about 94 MB and a compressed one of about 70 MB; tests/ntfs/
# make_ntfs_size_images.sh): each scan kind saves them whole, byte for byte as icat reads
# them, and the saving keeps to a small part of their size in memory (the holes are written
# as zeros, never gathered).
#
#   check_ntfs_sizes.sh BUILD_DIR IMAGES_DIR     (the volume lies in IMAGES_DIR-ntfs-sizes)
set -euo pipefail

# shellcheck source=../support/check_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
check_script_start "$@"
SIZES=$IMAGES-ntfs-sizes
bash "$(dirname "$0")/../ntfs/make_ntfs_size_images.sh" "$SIZES" ||
  { skip_without_images "$SIZES could not be made" && exit 0; exit 1; }
DISK=$SIZES/ntfs-sizes-disk.vmdk
# Well under the 94 MB of the sparse file alone.
MAX_RSS_KB=60000

for kind in quick deleted advanced; do
  before=$FAILED
  rm -rf "$WORK/rec"
  rc=0
  guarded "$WORK/out" "$WORK/err" /usr/bin/time -f '%M' -o "$WORK/rss" \
    "$QELDA" recover "$DISK" --source 1 --kind "$kind" --out "$WORK/rec" || rc=$?
  guard_passed "recover --kind $kind" "$rc" "$WORK/err" || continue
  rss=$(tail -n 1 "$WORK/rss")
  if ((SANITIZED == 0 && rss > MAX_RSS_KB)); then fail "recover --kind $kind: $rss KiB resident at most"; fi
  n=0
  while read -r sum size path; do
    [[ $kind == deleted && $path != *gone* ]] && continue
    n=$((n + 1))
    saved=$WORK/rec/$path
    if [[ ! -f $saved ]]; then fail "recover --kind $kind: $path not saved"; continue; fi
    got=$(md5sum <"$saved" | cut -d' ' -f1)
    [[ $got == "$sum" && $(stat -c %s "$saved") == "$size" ]] ||
      fail "recover --kind $kind: $path differs ($(stat -c %s "$saved") bytes, not $size)"
    grep -qxF "[Recovered] $path" "$WORK/out" || fail "recover --kind $kind: $path not [Recovered]"
  done <"$SIZES/ntfs-sizes.md5"
  ((n >= 2)) || fail "recover --kind $kind: only $n files compared"
  CHECKED=$((CHECKED + 1))
  ((FAILED == before)) && echo "ok   recover --kind $kind: $n files as icat reads them, at most $rss KiB resident"
done

((CHECKED > 0)) || fail "nothing checked"
exit $((FAILED > 0))
