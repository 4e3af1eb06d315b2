#!/usr/bin/env bash
# Checks `qelda drives` on this machine's own drives: it must end well whatever the drives
# answer (virtual disks answer no IDENTIFY and no SMART), list every whole disk the kernel
# lists, in name order, with the kernel's length, keep the line format scripts rely on, and
# show only what a drive told: a serial number taken from the kernel's texts must be in them.
#
#   check_drives.sh BUILD_DIR IMAGES_DIR   (the images are not used)
set -uo pipefail

if [[ $# -lt 1 ]]; then echo "usage: $0 BUILD_DIR [IMAGES_DIR]" >&2; exit 1; fi
QELDA=$(readlink -f "$1")/qelda
[[ -x $QELDA ]] || { echo "no qelda at $QELDA" >&2; exit 1; }
FAILED=0
fail() { printf 'FAIL %s\n' "$*"; FAILED=$((FAILED + 1)); }

OUT=$("$QELDA" drives 2>/tmp/qelda-drives.$$.err)
rc=$?
[[ $rc -eq 0 ]] || fail "qelda drives exited $rc: $(cat /tmp/qelda-drives.$$.err)"
rm -f /tmp/qelda-drives.$$.err
"$QELDA" drives extra >/dev/null 2>&1
[[ $? -eq 1 ]] || fail "qelda drives with an argument is not a usage error"

# The whole disks the kernel lists, as the program names them.
expected=()
for d in /sys/block/*; do
  name=$(basename "$d")
  [[ $name =~ ^(sd|vd|hd|xvd)[a-z]+$ || $name =~ ^nvme[0-9]+n[0-9]+$ || $name =~ ^mmcblk[0-9]+$ ]] && expected+=("$name")
done
mapfile -t expected < <(printf '%s\n' "${expected[@]}" | LC_ALL=C sort | sed '/^$/d')

n=0
while IFS=$'\t' read -r -a f; do
  [[ ${#f[@]} -eq 0 ]] && continue  # no drives at all
  case ${f[0]} in
    drive)
      [[ ${#f[@]} -eq 15 ]] || { fail "drive line with ${#f[@]} fields: ${f[*]}"; continue; }
      name=${expected[$n]:-}
      [[ ${f[1]} == $((128 + n)) ]] || fail "drive $n numbered ${f[1]}"
      [[ ${f[2]} == "$name" ]] || fail "drive $n is ${f[2]}, the kernel's is '$name'"
      size=$(cat "/sys/block/$name/size" 2>/dev/null || echo 0)
      [[ $size == 0 && ${f[4]} == - || ${f[4]} == "$size" ]] || fail "$name: ${f[4]} sectors, the kernel says $size"
      [[ ${f[9]} =~ ^(ata|hdio|sysfs|-)$ ]] || fail "$name: identity source '${f[9]}'"
      if [[ ${f[9]} == sysfs ]]; then
        [[ ${f[10]} == - && ${f[11]} == - && ${f[12]} == - && ${f[13]} == - ]] ||
          fail "$name: IDENTIFY or SMART fields shown without IDENTIFY: ${f[*]}"
        if [[ ${f[7]} != - ]]; then
          { cat "/sys/block/$name/serial" "/sys/block/$name/device/serial" "/sys/block/$name/device/vpd_pg80" 2>/dev/null || true; } |
            grep -aqF -- "${f[7]}" || fail "$name: serial '${f[7]}' is in none of the kernel's texts"
        fi
      fi
      n=$((n + 1))
      ;;
    smart)
      [[ ${#f[@]} -eq 8 ]] || fail "smart line with ${#f[@]} fields: ${f[*]}"
      [[ ${f[7]} =~ ^[123]$ ]] || fail "attribute status '${f[7]}'"
      ;;
    *) fail "unknown line: ${f[*]}" ;;
  esac
done <<<"$OUT"
[[ $n -eq ${#expected[@]} ]] || fail "$n drives listed, the kernel lists ${#expected[@]}"

printf '%s\n' "$OUT"
echo "drives: $n listed, $FAILED failures"
[[ $FAILED -eq 0 ]]
