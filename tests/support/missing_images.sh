# Sourced by the shell checks. A check whose images are missing skips on a developer's
# machine, but fails where the CI variable is set: a machine that cannot make the images must
# not pass silently.
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
