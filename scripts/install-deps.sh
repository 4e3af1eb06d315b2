#!/usr/bin/env bash
# Installs what building, testing and the demo need (Debian packages). Run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev       # build and tests
  qemu-utils                               # virtual disk images of every format
  fdisk gdisk                              # MBR and GPT partitioning
  dosfstools mtools                        # FAT volumes and filling them
  ntfs-3g                                  # NTFS volumes (mkntfs) and filling them
  exfatprogs exfat-fuse                    # exFAT volumes and filling them
  attr                                     # NTFS attributes set through ntfs-3g
  sleuthkit ldmtool                        # reference tools the tests compare with
  xz-utils python3                         # test data unpacking and generation
  python3-pil imagemagick zip              # the carving corpus (pictures, archives)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
