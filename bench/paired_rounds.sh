# shellcheck shell=bash
# Paired rounds of a reference command and a measured one, for the deep-search benchmarks.
#
#   paired_rounds ROUNDS WARM_FILE REF_LABEL REF_CMD -- TEST_LABEL TEST_CMD
#
# Each round reads WARM_FILE into the page cache, runs the reference, then the measured
# command; the ratio of a round is ref / test (the measured command's share of the
# reference's throughput). Prints the median seconds of each and the median ratio: the
# machine's noise moves both commands of a round alike.
paired_rounds() {
  local rounds=$1 warm=$2 ref_label=$3
  shift 3
  local ref=() test=()
  while [[ $1 != -- ]]; do ref+=("$1"); shift; done
  shift
  local test_label=$1
  shift
  test=("$@")
  local r t0 t1 t2 rows=()
  for ((r = 1; r <= rounds; r++)); do
    cat "$warm" >/dev/null
    t0=$(date +%s.%N); "${ref[@]}" >/dev/null 2>&1
    t1=$(date +%s.%N); "${test[@]}" >/dev/null 2>&1
    t2=$(date +%s.%N)
    rows+=("$(awk -v a="$t0" -v b="$t1" -v c="$t2" 'BEGIN { printf "%.3f %.3f %.3f", b - a, c - b, (b - a) / (c - b) }')")
  done
  printf '%s\n' "${rows[@]}" | awk -v n="$rounds" -v rl="$ref_label" -v tl="$test_label" '
    { ref[NR] = $1; test[NR] = $2; ratio[NR] = $3 }
    function median(a,   i, j, t) {
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    END {
      printf "median of %d paired rounds:\n", n
      printf "  %-44s %8.3f s\n", rl, median(ref)
      printf "  %-44s %8.3f s\n", tl, median(test)
      printf "  throughput of the second / the first: %.2f (median of the rounds\x27 ratios)\n", median(ratio)
    }'
}
