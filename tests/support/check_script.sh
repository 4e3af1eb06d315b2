# shellcheck shell=bash disable=SC2034  # the variables set here are for the scripts that source it
# Sourced by the shell checks that run the real `qelda` over the test images. It gives each of
# them the same frame:
#
#   source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/check_script.sh"
#   check_script_start "$@"    BUILD_DIR IMAGES_DIR, or a usage error (status 1); no qelda in
#                              BUILD_DIR is an error too
#   fail WHY...                a failure said on stdout and counted in FAILED
#   guarded OUT ERR CMD...     CMD held to 1 GiB of memory and GUARD seconds
#   guard_passed WHAT RC ERR   true when the guarded run ended with 0, else a failure said
#   run_checked WHAT OUT CMD...  CMD guarded and counted, its stdout in OUT; false (and a
#                              failure said) unless exit 0
#   skip_without_images WHY    a missing image skips here and fails in CI
#
# Variables it sets: BUILD, QELDA, IMAGES (IMAGES_DIR, which need not exist), SANITIZED (1 in
# a build with the sanitizers), GUARD, WORK (a folder of the check's own, removed on every way
# out), FAILED and CHECKED (0). A check may set CHECK_WORK_PARENT, the folder WORK is made in,
# before check_script_start.

CHECK_SCRIPT_NAME=$(basename "${BASH_SOURCE[1]}" .sh)
FAILED=0 CHECKED=0

check_script_start() {
  if [[ $# -ne 2 ]]; then echo "usage: $0 BUILD_DIR IMAGES_DIR" >&2; exit 1; fi
  BUILD=$(readlink -f "$1")
  QELDA=$BUILD/qelda
  IMAGES=$(readlink -m "$2")
  [[ -x $QELDA ]] || { echo "no qelda at $QELDA" >&2; exit 1; }
  SANITIZED=0
  if grep -q '^QELDA_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null; then SANITIZED=1; fi
  # Every guarded run ends in seconds: the guard only turns a hang into a failure, and the
  # sanitizer build on a busy machine is many times slower.
  GUARD=60
  if ((SANITIZED)); then GUARD=300; fi
  local parent=${CHECK_WORK_PARENT:-${TMPDIR:-/tmp}}
  mkdir -p "$parent"
  WORK=$(mktemp -d "$parent/qelda-$CHECK_SCRIPT_NAME.XXXXXX")
  trap 'rm -rf --one-file-system "$WORK"' EXIT
}

fail() { printf 'FAIL %s\n' "$*"; FAILED=$((FAILED + 1)); }

# guarded OUT ERR CMD...: CMD with at most 1 GiB of memory, stopped after GUARD seconds, its
# standard output in the file OUT and its standard error in ERR. Its status (124 when the
# guard stopped it).
guarded() {
  local out=$1 err=$2; shift 2
  if ((SANITIZED)); then
    # The sanitizers reserve terabytes of address space: their RSS limit stands in.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}hard_rss_limit_mb=1024 timeout "$GUARD" "$@" >"$out" 2>"$err"
  else
    (ulimit -v 1048576 && exec timeout "$GUARD" "$@") >"$out" 2>"$err"
  fi
}

# guard_passed WHAT RC ERR: true when RC is 0; otherwise a failure is said, a hang or the exit
# status with the start of the standard error in the file ERR.
guard_passed() {
  local what=$1 rc=$2 err=$3
  ((rc == 0)) && return 0
  if ((rc == 124)); then
    fail "$what: still running after $GUARD s"
  else
    fail "$what: exit $rc: $(head -c 300 "$err")"
  fi
  return 1
}

# run_checked WHAT OUT CMD...: CMD guarded and counted in CHECKED, its standard output in OUT;
# false (and a failure said) unless it ended with 0.
run_checked() {
  local what=$1 out=$2; shift 2
  CHECKED=$((CHECKED + 1))
  guarded "$out" "$WORK/err" "$@"
  guard_passed "$what" $? "$WORK/err"
}

# A check whose images are missing skips on a developer's machine, but fails where the CI
# variable is set: a machine that cannot make the images must not pass silently.
#
#   [[ -d $dir ]] || { skip_without_images "$dir: missing" || fail "$dir: missing"; return; }
#
# skip_without_images WHY: says "skip WHY" and succeeds, or in CI says why it cannot skip and fails.
skip_without_images() {
  if [[ -n ${CI:-} ]]; then
    echo "a test image is missing and CI is set: $*" >&2
    return 1
  fi
  echo "skip $*"
}

