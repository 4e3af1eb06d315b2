# shellcheck shell=bash
# The shared halves of the scan benchmarks (bench_ntfs_scan.sh, bench_fat_scan.sh,
# bench_exfat_scan.sh), sourced after bench_frame.sh: the files of their volume, and the
# timing once they have made their disk.
#
#   scan_bench_start WORK_NAME FILES LEAVES DEFAULT_FILES "$@"
#   fill_leaves ROOT TEAMS JOBS
#   time_quick_scans FILE_SYSTEM VMDK RAW
#   time_deleted_scans FILE_SYSTEM VMDK RAW
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

# bench_layout FILES LEAVES DEFAULT_FILES MIN_MIB: sets PER_LEAF (FILES spread over LEAVES
# leaf folders), VOL_MIB (MIN_MIB, or 8 KiB a file when that is more) and SUFFIX (the
# work folder's "-FILES" when FILES is not the default).
bench_layout() {
  PER_LEAF=$(($1 / $2))
  ((PER_LEAF >= 1 && PER_LEAF <= 9999)) || { echo "FILES must give 1 to 9999 files in each of $2 folders" >&2; exit 1; }
  VOL_MIB=$(($1 * 8 / 1024))
  ((VOL_MIB < $4)) && VOL_MIB=$4
  SUFFIX=''
  # shellcheck disable=SC2034  # the calling script names its work folder with it
  (($1 != $3)) && SUFFIX=-$1
  return 0
}

# scan_bench_start WORK_NAME FILES LEAVES DEFAULT_FILES "$@": bench_layout for volumes of
# 1 GiB at the least, bench_start with the work folder WORK_NAME (and SUFFIX), ROUNDS
# (default 3), ENGINE and both programs checked.
scan_bench_start() {
  local name=$1 files=$2 leaves=$3 default=$4
  shift 4
  bench_layout "$files" "$leaves" "$default" 1024
  bench_start "$name$SUFFIX" "$@"
  ROUNDS=${ROUNDS:-3}
  ENGINE=$BUILD/bench_scan_engine
  need_build qelda bench_scan_engine
}

# fill_leaves ROOT TEAMS JOBS: the volume's files written under ROOT: 5 areas x TEAMS teams x
# 5 batches of leaf folders three levels down, each holding PER_LEAF files with long names
# and a few lines of text, every 25th of 6000 bytes. One python process a run of four leaf
# folders, JOBS at once, in a process group of their own (in_group); the python script and
# the list of leaves are written into TMP.
fill_leaves() {
  local root=$1 teams=$2 jobs=$3 leaves=() a t b
  cat >"$TMP/fill.py" <<'EOF'
import os, sys
root, per_leaf = sys.argv[1], int(sys.argv[2])
for leaf in sys.argv[3:]:
    a, t, b = (int(x) for x in leaf.split(","))
    folder = os.path.join(root, f"Area {a}", f"Team {t} of area {a}", f"Batch {b:02d}")
    os.makedirs(folder, exist_ok=True)
    line = f"area {a} team {t} batch {b:02d}: qelda scan bench text\n"
    for i in range(per_leaf):
        name = f"{i:04d} Document of batch {b:02d}.txt"
        body = f"{name}\n" + line * (1 + i % 4)
        if i % 25 == 0:
            body = (body * (6000 // len(body) + 1))[:6000]
        with open(os.path.join(folder, name), "w") as f:
            f.write(body)
EOF
  for a in 0 1 2 3 4; do for ((t = 0; t < teams; t++)); do for b in 0 1 2 3 4; do leaves+=("$a,$t,$b"); done; done; done
  printf '%s\n' "${leaves[@]}" >"$TMP/leaves"
  in_group xargs -a "$TMP/leaves" -P "$jobs" -n 4 python3 "$TMP/fill.py" "$root" "$PER_LEAF"
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
    [[ -n $label ]] && q=$(best_seconds "$q" "${qelda_cmd[@]}")
    e=$(best_seconds "$e" "$ENGINE" "$vmdk" "$source")
    f=$(best_seconds "$f" "${fls_cmd[@]}")
  done
  printf '%-32s %9s %9s\n' "$fs quick scan, best of $ROUNDS" seconds "/ fls"
  [[ -n $label ]] && printf '%-32s %9.3f %9s\n' "$label" "$q" "$(scan_ratio "$q" "$f")"
  printf '%-32s %9.3f %9s\n' "engine alone (bench_scan_engine)" "$e" "$(scan_ratio "$e" "$f")"
  printf '%-32s %9.3f %9s\n' "fls -r -p" "$f" "1.000"
  [[ -n $rss_kib ]] && awk -v k="$rss_kib" -v n="$items" \
    'BEGIN { printf "peak RSS of scan --list: %d KiB for %d listed items, %.0f bytes per item\n", k, n, k * 1024 / n }'
  return 0
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
    q=$(best_seconds "$q" "${qelda_cmd[@]}")
    f=$(best_seconds "$f" "${fls_cmd[@]}")
  done
  printf '%-32s %9s %9s\n' "$fs deleted-files scan, best of $ROUNDS" seconds "/ fls"
  printf '%-32s %9.3f %9s\n' "qelda scan --kind deleted --list" "$q" "$(scan_ratio "$q" "$f")"
  printf '%-32s %9.3f %9s\n' "fls -r -d -p" "$f" "1.000"
}
