# shellcheck shell=bash disable=SC2034  # the variables set here are for the scripts that source it
# Sourced by the checks of the hostile walk disks after check_script_start, with DISKS set to
# the folder of the disks and their list of sizes: a cache folder of the run's own (so that a
# work folder left behind is seen), and the measured runs.
mkdir "$WORK/cache" "$WORK/s"
S=$WORK/s
export XDG_CACHE_HOME=$WORK/cache

# measured WHAT OUT CMD...: CMD guarded, its standard output counted into OUT (bytes) and its
# standard error in $S/err; the time and peak memory in $S/time. False (and a failure said)
# unless it ends with status 0.
measured() {
  local what=$1 out=$2 rc; shift 2
  CHECKED=$((CHECKED + 1))
  guarded /dev/stdout "$S/err" /usr/bin/time -o "$S/time" -f '%e s %M KiB' "$@" | wc -c >"$out"
  rc=${PIPESTATUS[0]}
  guard_passed "$what" "$rc" "$S/err"
}
no_work_folder() {
  local left
  left=$(find "$WORK/cache" -mindepth 2 -maxdepth 2 | head -3)
  [[ -z $left ]] || { fail "$1: work folder left: $left"; rm -rf "${WORK:?}/cache/"*; }
}
disk_bytes() { awk -v n="$1" '$1 == n { print $2 }' "$DISKS/sizes"; }
