#!/usr/bin/env bash
# Builds the fuzzer's seed folder: the shared corpus and the bundled samples
# (files up to 256 KiB), plus tiny JPEGs made with cjpeg in the shapes the
# engine must handle (grey, 4:2:0, 4:2:2, 4:4:4, restart intervals, odd
# sizes), which mutate fastest.
# Usage: fuzz/make-seeds.sh SEED_DIR [CORPUS_DIR...]
set -euo pipefail
out=$1; shift
mkdir -p "$out"
for dir in "$@"; do
  [ -d "$dir" ] || continue
  find "$dir" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) -size -257k -print0 |
    while IFS= read -r -d '' f; do cp "$f" "$out/seed-$(cksum < "$f" | cut -d' ' -f1).jpg"; done
done
command -v cjpeg > /dev/null || exit 0
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
n=0
for size in "8 8" "17 9" "16 16" "33 21"; do
  set -- $size
  { echo "P6 $1 $2 255"; head -c $(($1 * $2 * 3)) /dev/urandom; } > "$tmp/in.ppm"
  for opts in "-grayscale" "-sample 2x2" "-sample 2x1" "-sample 1x1" "-sample 2x2 -restart 1B" \
              "-grayscale -restart 2B" "-optimize -sample 1x2"; do
    n=$((n + 1))
    cjpeg -quality 75 $opts -outfile "$out/tiny-$n.jpg" "$tmp/in.ppm" 2> /dev/null || true
  done
done
