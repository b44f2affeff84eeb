#!/usr/bin/env bash
# Regenerates the bundled sample JPEGs in samples/ from ImageMagick's built-in
# images. The files are deliberately written with the encoder's standard
# Huffman tables (cjpeg without -optimize) so that `make run` has something to
# save. Needs cjpeg, ImageMagick's convert and exiftool.
# Usage: scripts/make-samples.sh [OUTPUT_DIR]   (default: samples/ of the project)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$here/samples}"
mkdir -p "$out"
for tool in cjpeg convert exiftool; do
  command -v "$tool" >/dev/null || { echo "make-samples: $tool is missing (scripts/deps.sh test installs it)" >&2; exit 1; }
done

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Built-in pictures as PPM/PGM; plasma is random, so its seed is fixed.
convert rose: -resize 400% "$tmp/rose.ppm"
convert wizard: -resize 50% "$tmp/wizard.ppm"
convert logo: -resize 50% -colorspace Gray "$tmp/logo.pgm"
convert -seed 1964 -size 320x240 plasma:fractal "$tmp/plasma.ppm"
convert granite: -resize 200% "$tmp/granite.ppm"

# 4:2:0, the most common camera layout (cjpeg's default sampling).
cjpeg -quality 85 -outfile "$out/rose-420.jpg" "$tmp/rose.ppm"
# 4:4:4: no chroma subsampling.
cjpeg -quality 90 -sample 1x1 -outfile "$out/wizard-444.jpg" "$tmp/wizard.ppm"
# One component.
cjpeg -quality 80 -grayscale -outfile "$out/logo-gray.jpg" "$tmp/logo.pgm"
# A restart marker after every 4 MCU rows, 4:2:2 sampling.
cjpeg -quality 75 -sample 2x1 -restart 4 -outfile "$out/plasma-restart.jpg" "$tmp/plasma.ppm"
# A photo-like file with an Exif block, as a camera would write it.
cjpeg -quality 92 -outfile "$out/granite-exif.jpg" "$tmp/granite.ppm"
exiftool -q -overwrite_original \
  -Make="Lumaro Test Camera" -Model="LT-1" -Artist="lumaro samples" \
  -DateTimeOriginal="2024:05:01 10:20:30" -ExposureTime=1/125 -FNumber=5.6 -ISO=200 \
  -Orientation#=1 -ImageDescription="sample with an Exif block" \
  "$out/granite-exif.jpg"

ls -l "$out"/*.jpg
