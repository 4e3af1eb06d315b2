#!/usr/bin/env bash
# The longest check of check_run_control.sh, run as a test of its own beside the others:
# `recover` of the deep disk at four times its size (80,000 files in folders 2,048 deep).
#
#   check_run_control_deep.sh BUILD_DIR IMAGES_DIR
RUN_CONTROL_PART=deep4 exec bash "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/check_run_control.sh" "$@"
