#!/usr/bin/env bash
# build_fs_tree_json against Sleuth Kit's `fls -r -p` on the same FAT32 image:
# 64 MiB, made by mkfs.vfat and filled with mtools (2000 files over 20
# folders, long and 8.3 names). Both list the whole tree; each is timed as
# the mean of RUNS runs (fls including its process start, as a user meets it).
#
# Usage: bench/fs_tree_bench.sh [BUILD_DIR] [RUNS]   (default build, 20)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-20}
work=$(mktemp -d /tmp/halvex-fsbench.XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/src"
for d in $(seq -w 1 20); do
  mkdir -p "$work/src/DCIM/FOLDER_$d"
  for f in $(seq -w 1 100); do
    if (( 10#$f % 2 )); then name="IMG_$d$f.JPG"; else name="Holiday photo $d-$f with a long name.jpeg"; fi
    printf '%s' "$d$f" > "$work/src/DCIM/FOLDER_$d/$name"
  done
done
truncate -s 64M "$work/card.img"
mkfs.vfat -F 32 -S 512 -s 1 -n BENCH "$work/card.img" > /dev/null
(cd "$work/src" && MTOOLS_SKIP_CHECK=1 mcopy -s -i "$work/card.img" DCIM ::/)

ours=$("$build/bench/fs_tree_bench" "$work/card.img" "$runs")
start=$(date +%s.%N)
for _ in $(seq "$runs"); do fls -r -p "$work/card.img" > "$work/fls.txt"; done
end=$(date +%s.%N)
fls_s=$(awk -v a="$start" -v b="$end" -v n="$runs" 'BEGIN { printf "%.6f", (b - a) / n }')
ours_s=$(printf '%s' "$ours" | awk '{ print $3 }')
echo "build_fs_tree_json: $ours"
echo "fls -r -p:     $(wc -l < "$work/fls.txt") lines, $fls_s s per listing"
awk -v a="$ours_s" -v b="$fls_s" 'BEGIN { printf "build_fs_tree_json is %.1f times faster\n", b / a }'
