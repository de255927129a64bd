#!/usr/bin/env bash
# Peak memory of the scan's tree pass on two hostile disks, each measured in
# a process of its own (VmHWM): a 34 MB FAT32 volume holding 1,000,000 files
# whose paths pass 511 bytes, and a sparse exFAT volume of 32 MiB clusters
# with folders nested 20 deep. The tree pass must stay under 256 MiB.
#
# Usage: bench/fs_tree_memory.sh [BUILD_DIR]   (default build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
tool=$build/bench/fs_tree_memory
work=$(mktemp -d /tmp/halvex-fsmem.XXXXXX)
trap 'rm -rf "$work"' EXIT

"$tool" craft-fat32 "$work/million.img"
"$tool" craft-exfat "$work/nested.img"
for img in million nested; do
  echo "$img.img: $(du -k --apparent-size "$work/$img.img" | cut -f1) KiB apparent, $(du -k "$work/$img.img" | cut -f1) KiB on disk"
  "$tool" measure "$work/$img.img"
done
