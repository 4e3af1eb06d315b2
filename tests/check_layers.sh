#!/usr/bin/env bash
# Every folder of src/ includes only its own headers and those of the folders below it.
# The engines (ntfs, fat, exfat) are peers: none includes another.
set -euo pipefail
src=${1:?usage: check_layers.sh SRC_DIR}
order="platform ui fs image volume engine carve ntfs|fat|exfat lost results save app cli"
rank() {
  local i=0 w
  for w in $order; do
    case "|$w|" in *"|$1|"*) echo $i; return;; esac
    i=$((i + 1))
  done
  echo -1
}
bad=0
for dir in "$src"/*/; do
  from=$(basename "$dir")
  rf=$(rank "$from")
  if [ "$rf" = -1 ]; then echo "src/$from: a folder that is not a layer"; bad=1; continue; fi
  while IFS=: read -r file inc; do
    layer=${inc%%/*}
    [ "$layer" = "$from" ] && continue
    ri=$(rank "$layer")
    if [ "$ri" = -1 ] || [ "$ri" -ge "$rf" ]; then
      echo "${file#"$src"/} includes $inc"
      bad=1
    fi
  done < <(grep -HoE '^#include "[^"]+"' "$dir"*.h "$dir"*.cpp 2>/dev/null | sed 's/#include "//; s/"$//')
done
[ "$bad" = 0 ] && echo "layers hold"
exit $bad
