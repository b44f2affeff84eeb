#!/usr/bin/env bash
# Holds two builds of lumaro-cli to the same results: every JPEG of the shared
# corpus, the samples and a set of generated files (sampling factors, restart
# intervals, qualities, grey, noise) goes through both, plain, with
# --strip-exif and with --no-optimize; output bytes, exit status and message
# must be the same. For proving that a change to the engine changed no byte.
# Usage: scripts/same-output.sh OLD_BUILD_DIR NEW_BUILD_DIR
set -euo pipefail
old="$1/cli/lumaro-cli"
new="$2/cli/lumaro-cli"
root="$(cd "$(dirname "$0")/.." && pwd)"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

gen="$tmp/gen"
mkdir -p "$gen"
convert -size 640x480 plasma:fractal -seed 3 "$gen/plasma.ppm" 2>/dev/null || convert -size 640x480 gradient:red-blue "$gen/plasma.ppm"
convert -size 517x389 xc:gray +noise Random "$gen/noise.ppm"
convert "$gen/plasma.ppm" -colorspace gray "$gen/grey.pgm"
for q in 50 90 100; do
  for s in 1x1 2x2 2x1 1x2 4x1 4x2; do
    for r in 0 1 7; do
      cjpeg -quality $q -sample $s -restart ${r}B "$gen/plasma.ppm" > "$gen/plasma-q$q-$s-r$r.jpg"
    done
    cjpeg -quality $q -sample $s "$gen/noise.ppm" > "$gen/noise-q$q-$s.jpg"
  done
  cjpeg -quality $q -grayscale -restart 3 "$gen/grey.pgm" > "$gen/grey-q$q-r3.jpg"
done
cjpeg -quality 95 -sample 2x2,1x1,1x1 -restart 2 "$gen/noise.ppm" > "$gen/noise-restart-rows.jpg"

mapfile -t files < <({ find "$root/../shared/corpus" "$root/samples" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) 2>/dev/null; ls "$gen"/*.jpg; } | sort)
runs=0; differ=0
for f in "${files[@]}"; do
  for mode in "" --strip-exif --no-optimize; do
    a=0; b=0
    "$old" --stdout $mode "$f" > "$tmp/a" 2> "$tmp/ae" || a=$?
    "$new" --stdout $mode "$f" > "$tmp/b" 2> "$tmp/be" || b=$?
    runs=$((runs + 1))
    if [ $a -ne $b ] || ! cmp -s "$tmp/a" "$tmp/b" || ! cmp -s "$tmp/ae" "$tmp/be"; then
      echo "DIFFERS: $f $mode (status $a against $b)"
      differ=$((differ + 1))
    fi
  done
done
echo "$runs runs over ${#files[@]} files, $differ differ"
[ $differ -eq 0 ]
