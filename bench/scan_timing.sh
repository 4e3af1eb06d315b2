# shellcheck shell=bash
# The timing half of the scan benchmarks, sourced by bench_ntfs_scan.sh and
# bench_fat_scan.sh after they have made their disk.
#
#   time_quick_scans FILE_SYSTEM VMDK RAW
#
# FILE_SYSTEM is the name `qelda info` gives the volume ("NTFS", "FAT32"); VMDK is the
# descriptor qelda mounts and RAW the disk file behind it, which fls reads. Uses QELDA,
# ENGINE, WORK and ROUNDS from the calling script.
#
# First a checking run of each (not timed): the listings go to WORK/qelda.list and
# WORK/fls.list and the counts of user items are compared, names without regard to case
# (the reader shows FAT short names in the case their flags ask for). Then, with the disk
# in the page cache, ROUNDS rounds of qelda, the engine alone and fls, one after the other;
# the best time of each and the ratio to fls are printed.

scan_now() { date +%s.%N; }

# bench_layout FILES LEAVES DEFAULT_FILES MIN_MIB: sets PER_LEAF (FILES spread over LEAVES
# leaf folders), VOL_MIB (MIN_MIB, or 8 KiB a file when that is more) and SUFFIX (the
# work folder's "-FILES" when FILES is not the default).
bench_layout() {
  PER_LEAF=$(($1 / $2))
  ((PER_LEAF >= 1 && PER_LEAF <= 9999)) || { echo "FILES must give 1 to 9999 files in each of $2 folders" >&2; exit 1; }
  VOL_MIB=$(($1 * 8 / 1024))
  ((VOL_MIB < $4)) && VOL_MIB=$4
  SUFFIX=''
  (($1 != $3)) && SUFFIX=-$1
  return 0
}

# User items of a listing: not the readers' own $-entries, not NTFS named streams.
# `qelda scan --list` lines are "d|f flags size path"; fls lines are "type inode:<TAB>path".
qelda_user_paths() { awk -F'\t' 'substr($NF, 1, 1) != "$" { print tolower($NF) }' "$1" | sort; }
fls_user_paths() {
  awk -F"\t" 'substr($2, 1, 1) != "$" && index($2, ":") == 0 && index($2, "(Volume Label Entry)") == 0 { print tolower($2) }' "$1" | sort
}

time_quick_scans() {
  local fs=$1 vmdk=$2 raw=$3 source start
  # The volume in the command's source list, and where it starts for fls.
  read -r source start < <("$QELDA" info "$vmdk" | awk -F'\t' -v fs="$fs" 'NF == 7 && $4 == fs { print $1, $5; exit }') ||
    { echo "qelda info lists no $fs volume in $vmdk" >&2; return 1; }

  local qelda_cmd=("$QELDA" scan "$vmdk" --source "$source" --kind quick --list)
  local label="qelda scan --list"
  if ! "${qelda_cmd[@]}" >"$WORK/qelda.list" 2>"$WORK/qelda.err"; then
    echo "note: \`qelda scan\` did not run ($(head -n 1 "$WORK/qelda.err")); timing the engine alone in its place"
    qelda_cmd=("$ENGINE" "$vmdk" "$source")
    label=""
    "$ENGINE" "$vmdk" "$source" --list >"$WORK/qelda.list" 2>/dev/null
  fi
  local fls_cmd=(fls -r -p -o "$start" "$raw")
  "${fls_cmd[@]}" >"$WORK/fls.list"
  qelda_user_paths "$WORK/qelda.list" >"$WORK/qelda.paths"
  fls_user_paths "$WORK/fls.list" >"$WORK/fls.paths"
  echo "$fs volume: source $source, sector $start;" \
       "user items: qelda $(wc -l <"$WORK/qelda.paths"), fls $(wc -l <"$WORK/fls.paths")," \
       "listed by one only: $(comm -3 "$WORK/qelda.paths" "$WORK/fls.paths" | wc -l)"

  cat "$raw" >/dev/null  # every reader starts from a warm cache
  # Peak memory of the command per item it lists (GNU time's maximum resident set, KiB).
  local items rss_kib=''
  items=$(wc -l <"$WORK/qelda.list")
  if [[ -n $label && -x /usr/bin/time ]]; then
    /usr/bin/time -f %M -o "$WORK/rss" "${qelda_cmd[@]}" >/dev/null 2>&1 && rss_kib=$(tail -n 1 "$WORK/rss")
  fi
  local q=999999 e=999999 f=999999 round
  for ((round = 1; round <= ROUNDS; round++)); do
    [[ -n $label ]] && q=$(scan_best "$q" "${qelda_cmd[@]}")
    e=$(scan_best "$e" "$ENGINE" "$vmdk" "$source")
    f=$(scan_best "$f" "${fls_cmd[@]}")
  done
  printf '%-32s %9s %9s\n' "$fs quick scan, best of $ROUNDS" seconds "/ fls"
  [[ -n $label ]] && printf '%-32s %9.3f %9s\n' "$label" "$q" "$(scan_ratio "$q" "$f")"
  printf '%-32s %9.3f %9s\n' "engine alone (bench_scan_engine)" "$e" "$(scan_ratio "$e" "$f")"
  printf '%-32s %9.3f %9s\n' "fls -r -p" "$f" "1.000"
  [[ -n $rss_kib ]] && awk -v k="$rss_kib" -v n="$items" \
    'BEGIN { printf "peak RSS of scan --list: %d KiB for %d listed items, %.0f bytes per item\n", k, n, k * 1024 / n }'
  return 0
}

scan_best() {  # scan_best SECONDS_SO_FAR COMMAND...: runs COMMAND, keeps the shorter time
  local best=$1 t0 t1
  shift
  t0=$(scan_now)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
  t1=$(scan_now)
  awk -v a="$best" -v x="$t0" -v y="$t1" 'BEGIN { d = y - x; print (d < a ? d : a) }'
}

scan_ratio() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.3f", x / y }'; }

# The same for the deleted-files scan, against `fls -r -d -p`: deleted files listed by each
# (fls's nameless reserved records left out), then the best times and the ratio.
time_deleted_scans() {
  local fs=$1 vmdk=$2 raw=$3 source start
  read -r source start < <("$QELDA" info "$vmdk" | awk -F'\t' -v fs="$fs" 'NF == 7 && $4 == fs { print $1, $5; exit }') ||
    { echo "qelda info lists no $fs volume in $vmdk" >&2; return 1; }
  local qelda_cmd=("$QELDA" scan "$vmdk" --source "$source" --kind deleted --list)
  local fls_cmd=(fls -r -d -p -o "$start" "$raw")
  "${qelda_cmd[@]}" >"$WORK/qelda.list"
  "${fls_cmd[@]}" >"$WORK/fls.list"
  echo "$fs volume: source $source, sector $start; deleted files:" \
       "qelda $(awk -F'\t' '$1 == "f" && $2 ~ /D/' "$WORK/qelda.list" | wc -l)," \
       "fls $(awk -F'\t' '$1 ~ /\/r/ && $2 !~ /OrphanFile-[0-9]+$/' "$WORK/fls.list" | wc -l)"
  cat "$raw" >/dev/null
  local q=999999 f=999999 round
  for ((round = 1; round <= ROUNDS; round++)); do
    q=$(scan_best "$q" "${qelda_cmd[@]}")
    f=$(scan_best "$f" "${fls_cmd[@]}")
  done
  printf '%-32s %9s %9s\n' "$fs deleted-files scan, best of $ROUNDS" seconds "/ fls"
  printf '%-32s %9.3f %9s\n' "qelda scan --kind deleted --list" "$q" "$(scan_ratio "$q" "$f")"
  printf '%-32s %9.3f %9s\n' "fls -r -d -p" "$f" "1.000"
}
