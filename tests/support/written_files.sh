# shellcheck shell=bash
# Sourced by the shell checks (after check_script.sh) that hold what qelda saves and lists
# against the files a maker wrote (WRITTEN/PATH, set by the check) and against fls.
#
#   recovered WHAT OUT ARG...   `qelda ARG... --out OUT` (recover or resume): every
#                               "[Recovered]" file whose name was written must equal it (a
#                               deleted one's name is matched but for its first character);
#                               the written paths of those found whole go to OUT.whole
#   saved_whole WHAT OUT PATTERN  every written file whose path PATTERN matches was saved whole
#   fls_listing FLS             the files and folders of `fls -r -p -l` as `scan --list`
#                               lines (a deleted name's first character and folder sizes left
#                               out), sorted
#   scan_listing LIST           `scan --list` lines so, sorted

recovered() {
  local what=$1 out=$2 line path base want bad=0; shift 2
  CHECKED=$((CHECKED + 1))
  rm -rf "$out"
  : >"$out.whole"
  guarded "$out.said" "$WORK/err" "$QELDA" "$@" --out "$out"
  guard_passed "$what" $? "$WORK/err" || return 1
  while IFS= read -r line; do
    path=${line#\[Recovered\] }
    base=$(basename "$path")
    want=$(find "$WRITTEN" -type f -iname "$base" | head -1)
    [[ -n $want ]] || want=$(find "$WRITTEN" -type f -iname "?${base:1}" | head -1)
    [[ -n $want ]] || continue
    if cmp -s "$out/$path" "$want"; then
      echo "${want#"$WRITTEN"/}" >>"$out.whole"
    else
      bad=$((bad + 1))
      ((bad <= 3)) && fail "$what: $path said recovered, but its bytes differ from the file written"
    fi
  done < <(grep '^\[Recovered\] ' "$out.said")
  ((bad <= 3)) || fail "$what: $((bad - 3)) more files said recovered whose bytes differ"
}

saved_whole() {
  (cd "$WRITTEN" && find . -type f -printf '%P\n') | grep -E "$3" | sort >"$WORK/want"
  sort -u "$2.whole" >"$WORK/got"
  local missing
  missing=$(comm -23 "$WORK/want" "$WORK/got" | paste -sd' ')
  [[ -z $missing ]] || fail "$1: not saved whole: $missing"
}

fls_listing() {
  awk -F'\t' '$2 !~ /^\$/ && $1 ~ /^[rd]\/[rd] / {
      deleted = $1 ~ /\*/; dir = $1 ~ /^d/; path = $2
      if (deleted) { n = split(path, p, "/"); p[n] = "?" substr(p[n], 2); path = p[1]; for (i = 2; i <= n; ++i) path = path "/" p[i] }
      printf "%s\t%s\t%s\t%s\n", dir ? "d" : "f", deleted ? "D" : "-", dir ? 0 : $7, path }' "$1" | sort -f
}

scan_listing() {
  awk -F'\t' -v OFS='\t' '$2 ~ /D/ { n = split($4, p, "/"); p[n] = "?" substr(p[n], 2); $4 = p[1]; for (i = 2; i <= n; ++i) $4 = $4 "/" p[i] } 1' \
    "$1" | sort -f
}
