#!/usr/bin/env bash
# Builds, in a temporary folder, JPEG files of many layouts with cjpeg,
# jpegtran, ImageMagick, exiftool and wrjpgcom, and holds lumaro-cli's result
# for each to the same checks as the corpus: same pixels, never larger, valid,
# segments kept, one table per DHT segment, restart markers renumbered, and a
# second run that changes nothing. Files outside baseline must be refused.
# Usage: generated_test.sh LUMARO_CLI
set -euo pipefail
CLI="${1:?usage: generated_test.sh LUMARO_CLI}"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/oracle-lib.sh"
require_tools cjpeg djpeg jpegtran jpeginfo convert exiftool wrjpgcom perl cmp
[ -x "$CLI" ] || { echo "lumaro-cli not found at $CLI"; exit 1; }

TMP_ROOT="$(mktemp -d)"
trap 'rm -rf "$TMP_ROOT"' EXIT
G="$TMP_ROOT/gen"
mkdir -p "$G"
edit() { perl "$here/jpeg-edit.pl" "$@"; }

# Source pictures. plasma is random: its seed is fixed so that runs repeat.
convert rose: -resize 300% "$G/rose.ppm"
convert -seed 7 -size 160x120 plasma:fractal "$G/plasma.ppm"
convert "$G/plasma.ppm" -colorspace Gray "$G/plasma.pgm"
for s in 1x1 7x9 17x33 1000x3; do
  convert -seed 11 -size "$s" plasma:fractal "$G/odd-$s.ppm"
  convert "$G/odd-$s.ppm" -colorspace Gray "$G/odd-$s.pgm"
done

# ---- files that must be accepted ----------------------------------------
cases=()
build_case() {  # build_case NAME COMMAND...: the command writes the case's file to $G/NAME.jpg
  local name="$1"; shift
  if ! "$@" >"$TMP_ROOT/make.log" 2>&1; then
    fail "$name" "could not build the test file: $(head -n 1 "$TMP_ROOT/make.log")"
    return
  fi
  cases+=("$name")
}
cj() { local name="$1" src="$2"; shift 2; cjpeg "$@" -outfile "$G/$name.jpg" "$src"; }

# Chroma sampling.
build_case s420 cj s420 "$G/rose.ppm" -sample 2x2
build_case s422 cj s422 "$G/rose.ppm" -sample 2x1
build_case s444 cj s444 "$G/rose.ppm" -sample 1x1
build_case s440 cj s440 "$G/rose.ppm" -sample 1x2
build_case s411 cj s411 "$G/rose.ppm" -sample 4x1
build_case s420-odd cj s420-odd "$G/odd-17x33.ppm" -sample 2x2
# One component: plain, and with sampling factors 2x2 in the frame header, which a
# single-component scan ignores (one block per MCU).
build_case gray cj gray "$G/plasma.pgm" -grayscale
build_case gray-2x2 cj gray-2x2 "$G/plasma.pgm" -grayscale -sample 2x2
build_case gray-2x2-odd cj gray-2x2-odd "$G/odd-17x33.pgm" -grayscale -sample 2x2
build_case gray-2x2-restart cj gray-2x2-restart "$G/odd-17x33.pgm" -grayscale -sample 2x2 -restart 3B
# Four components (Adobe YCCK) and RGB without colour transform (ids 'R','G','B').
build_case cmyk convert "$G/rose.ppm" -colorspace CMYK -quality 85 "$G/cmyk.jpg"
build_case rgb cj rgb "$G/rose.ppm" -rgb
# Restart intervals in MCU rows and in MCUs; 3B on a 4:2:0 odd size ends mid-row.
build_case restart-row cj restart-row "$G/rose.ppm" -restart 1
build_case restart-3mcu cj restart-3mcu "$G/rose.ppm" -restart 3B
build_case restart-1mcu-odd cj restart-1mcu-odd "$G/odd-17x33.ppm" -restart 1B
build_case restart-many cj restart-many "$G/plasma.ppm" -sample 1x1 -restart 1B
# Odd sizes.
for s in 1x1 7x9 17x33 1000x3; do
  build_case "odd-$s-420" cj "odd-$s-420" "$G/odd-$s.ppm" -sample 2x2
  build_case "odd-$s-444" cj "odd-$s-444" "$G/odd-$s.ppm" -sample 1x1
  build_case "odd-$s-gray" cj "odd-$s-gray" "$G/odd-$s.pgm" -grayscale
done
# Qualities: 1 gives nearly empty blocks, 100 large coefficients and long codes.
# Quality 1 needs -baseline to keep 8-bit quantisation tables (else SOF1, refused below).
build_case q1 cj q1 "$G/rose.ppm" -quality 1 -baseline
build_case q50 cj q50 "$G/rose.ppm" -quality 50
build_case q100 cj q100 "$G/rose.ppm" -quality 100
build_case q100-444 cj q100-444 "$G/plasma.ppm" -quality 100 -sample 1x1
# Files whose tables are optimal already (libjpeg's method) and a re-run of those.
build_case optimised jpegtran -optimize -copy all -outfile "$G/optimised.jpg" "$G/s420.jpg"
build_case optimised-restart jpegtran -optimize -restart 2B -outfile "$G/optimised-restart.jpg" "$G/s444.jpg"
# Metadata: Exif, XMP, ICC (two APP2 chunks), comments, many APPn.
build_case exif sh -c 'cp "$1/s420.jpg" "$1/exif.jpg" && exiftool -q -overwrite_original -Make=Test -Model="T 1" \
  -DateTimeOriginal="2020:01:02 03:04:05" -Artist="Someone" "$1/exif.jpg"' _ "$G"
build_case xmp sh -c 'cp "$1/s444.jpg" "$1/xmp.jpg" && exiftool -q -overwrite_original -XMP-dc:Title="A title" \
  -XMP-dc:Creator="Someone" "$1/xmp.jpg"' _ "$G"
build_case exif-xmp sh -c 'cp "$1/exif.jpg" "$1/exif-xmp.jpg" && exiftool -q -overwrite_original \
  -XMP-dc:Title="both APP1 kinds" "$1/exif-xmp.jpg"' _ "$G"
head -c 3000 /dev/zero | tr '\0' 'c' >"$G/icc-body"
build_case icc sh -c 'printf "ICC_PROFILE\0\001\002" >"$1/icc1" && cat "$1/icc-body" >>"$1/icc1" &&
  printf "ICC_PROFILE\0\002\002" >"$1/icc2" && cat "$1/icc-body" >>"$1/icc2" &&
  perl "$2" insert-file "$1/exif.jpg" "$1/icc-a.jpg" FFE2 "$1/icc2" &&
  perl "$2" insert-file "$1/icc-a.jpg" "$1/icc.jpg" FFE2 "$1/icc1"' _ "$G" "$here/jpeg-edit.pl"
build_case com sh -c 'wrjpgcom -comment "a comment" "$1/s422.jpg" >"$1/com.jpg"' _ "$G"
build_case many-app sh -c 'cp "$1/exif-xmp.jpg" "$1/many-app.jpg" && for n in 3 4 5 6 7 8 9 A B C D E F; do
  perl "$2" insert "$1/many-app.jpg" "$1/t.jpg" FFE$n "APP$n payload" && mv "$1/t.jpg" "$1/many-app.jpg"; done &&
  wrjpgcom -comment "com between" "$1/many-app.jpg" >"$1/t.jpg" && mv "$1/t.jpg" "$1/many-app.jpg"' _ "$G" "$here/jpeg-edit.pl"
build_case iptc sh -c 'cp "$1/s420.jpg" "$1/iptc.jpg" && exiftool -q -overwrite_original -IPTC:Keywords=one \
  -IPTC:Keywords=two "$1/iptc.jpg"' _ "$G"
# Bytes after the end-of-image marker.
build_case trailing sh -c 'cat "$1/s420.jpg" >"$1/trailing.jpg" && printf "trailing bytes after EOI\377\331" >>"$1/trailing.jpg"' _ "$G"
# All four tables in one DHT segment, and the tables split over two segments.
build_case dht-one-segment edit merge-dht "$G/s420.jpg" "$G/dht-one-segment.jpg"
build_case dht-restart-one-segment edit merge-dht "$G/restart-3mcu.jpg" "$G/dht-restart-one-segment.jpg"

for name in "${cases[@]}"; do
  before=$FAILURES
  check_accepted "$G/$name.jpg" "$name"
  [ "$FAILURES" = "$before" ] && echo "ok   $name ($(size_of "$G/$name.jpg") -> $(size_of "$TMP_ROOT/acc/opt.jpg") bytes)"
done

# ---- particular expectations beyond the common checks ---------------------
w="$TMP_ROOT/extra"; mkdir -p "$w"
# A DHT segment with four tables comes out as four segments, in the same order.
if run_cli "$w/one.jpg" "$w/err" "$G/dht-one-segment.jpg"; then
  got="$(segments "$w/one.jpg" | grep '^DHT ' | cut -d' ' -f2,3 | tr '\n' ' ')"
  want="$(segments "$G/dht-one-segment.jpg" | grep '^DHT ' | cut -d' ' -f2,3 | tr '\n' ' ')"
  [ "$got" = "$want" ] || fail dht-one-segment "tables come out as '$got', expected '$want'"
  [ "$(segments "$w/one.jpg" | grep -c '^FFC4 ')" = 4 ] || fail dht-one-segment "expected four DHT segments"
fi
# Trailing bytes are not carried into the re-encoded file.
if run_cli "$w/trail.jpg" "$w/err" "$G/trailing.jpg"; then
  segments "$w/trail.jpg" | grep -q '^TRAIL' && fail trailing "bytes after EOI were kept"
  [ "$(tail -c 2 "$w/trail.jpg" | od -An -tx1 | tr -d ' \n')" = ffd9 ] || fail trailing "result does not end with FF D9"
fi
# The restart interval survives, and the markers cycle RST0..RST7 more than once.
if run_cli "$w/rst.jpg" "$w/err" "$G/restart-many.jpg"; then
  segments "$w/rst.jpg" | grep -q '^DRI 1$' || fail restart-many "DRI 1 missing in the result"
  n="$(segments "$w/rst.jpg" | sed -nE 's/^SCAN [0-9]+ ([0-9]+)$/\1/p')"
  [ "${n:-0}" -gt 8 ] || fail restart-many "expected more than 8 restart markers, got ${n:-none}"
fi
# --strip-exif removes every APP1 (Exif and XMP) and keeps APP0, APP2..APP15 and COM.
if run_cli "$w/strip.jpg" "$w/err" --strip-exif "$G/many-app.jpg"; then
  want="$(segments "$G/many-app.jpg" | grep -E '^FF(E[02-9A-F]|FE) ' | tr '\n' ' ')"
  got="$(segments "$w/strip.jpg" | grep -E '^FF(E[0-9A-F]|FE) ' | tr '\n' ' ')"
  [ "$got" = "$want" ] || fail many-app "--strip-exif kept '$got', expected '$want'"
  [ "$(segments "$G/many-app.jpg" | grep -c '^FFE1 ')" -ge 2 ] || fail many-app "test file should hold two APP1 segments"
fi
# Saving on files written with the standard tables.
for name in s420 q100 restart-many; do
  if run_cli "$w/save.jpg" "$w/err" "$G/$name.jpg"; then
    [ "$(size_of "$w/save.jpg")" -lt "$(size_of "$G/$name.jpg")" ] || fail "$name" "no saving on a file with standard tables"
  fi
done

# ---- files that must be refused -------------------------------------------
cjpeg -progressive -outfile "$G/progressive.jpg" "$G/rose.ppm"
check_refused progressive "プログレッシブJPEGファイルです。現在はまだ処理できません。" "$G/progressive.jpg"
cjpeg -arithmetic -outfile "$G/arithmetic.jpg" "$G/rose.ppm"
check_refused arithmetic "致命的エラー : ヘッダ(\$FFC9)を認識できません" "$G/arithmetic.jpg"
cjpeg -quality 1 -outfile "$G/sof1.jpg" "$G/rose.ppm" 2>/dev/null
check_refused sof1 "致命的エラー : ヘッダ(\$FFC1)を認識できません" "$G/sof1.jpg"
head -c 2000 /dev/urandom >"$G/not-jpeg.jpg"; printf 'GIF89a' | dd of="$G/not-jpeg.jpg" conv=notrunc 2>/dev/null
check_refused not-jpeg "致命的エラー : JPEGファイルの開始のヘッダ(\$FFD8)を認識できません" "$G/not-jpeg.jpg"
: >"$G/empty.jpg"
check_refused empty "" "$G/empty.jpg"
# Cut inside the headers and inside the scan: refused cleanly, never a crash.
sz=$(size_of "$G/s420.jpg")
head -c 100 "$G/s420.jpg" >"$G/cut-header.jpg"
check_refused cut-header "" "$G/cut-header.jpg"
check_refused "cut-header --no-optimize" "" --no-optimize "$G/cut-header.jpg"
head -c $((sz / 2)) "$G/s420.jpg" >"$G/cut-scan.jpg"
check_refused cut-scan "" "$G/cut-scan.jpg"
# A block's data replaced by a code that no table holds.
# Sixteen 1-bits are no code of the standard tables (stuffed as FF 00).
cp "$G/s444.jpg" "$G/bad-code.jpg"
at=$(($(segments "$G/s444.jpg" | awk '/^FF/ {s += $2 + 2} END {print s + 2}') + 40))
while [ "$(od -An -tx1 -j $((at - 1)) -N 1 "$G/s444.jpg" | tr -d ' ')" = ff ]; do at=$((at + 1)); done
printf '\377\000\377\000\377\000\377\000' | dd of="$G/bad-code.jpg" bs=1 seek=$at conv=notrunc 2>/dev/null
check_refused bad-code "" "$G/bad-code.jpg"

# ---- files where refusing is as fair as accepting: the outcome must be clean --
# Fill bytes 0xFF before a marker.
perl -e 'local $/; my $d = <STDIN>; my $i = index($d, "\xFF\xDB"); substr($d, $i, 0) = "\xFF\xFF"; print $d' \
  <"$G/s444.jpg" >"$G/fill-bytes.jpg"
check_sound "$G/fill-bytes.jpg" fill-bytes
# A sequential file with one scan per component (not interleaved).
printf '0;\n1;\n2;\n' >"$G/scans.txt"
jpegtran -scans "$G/scans.txt" -outfile "$G/three-scans.jpg" "$G/s444.jpg"
check_sound "$G/three-scans.jpg" three-scans
# The same table defined twice before the scan: a dummy DC 0 table, then the real one.
perl -e 'print pack("C C16 C", 0x00, 1, (0) x 15, 5)' >"$G/dummy-dc0"
edit insert-file "$G/s444.jpg" "$G/dup-table.jpg" FFC4 "$G/dummy-dc0"
check_sound "$G/dup-table.jpg" dup-table
# A DHT segment whose length field is one byte short of its tables.
perl -e 'local $/; my $d = <STDIN>; my $i = index($d, "\xFF\xC4"); my $l = unpack("n", substr($d, $i + 2, 2));
  substr($d, $i + 2, 2) = pack("n", $l - 1); print $d' <"$G/s444.jpg" >"$G/dht-short.jpg"
check_sound "$G/dht-short.jpg" dht-short
# Cut inside an Exif segment.
head -c 200 "$G/exif.jpg" >"$G/cut-exif.jpg"
check_refused cut-exif "" "$G/cut-exif.jpg"
check_refused "cut-exif --strip-exif" "" --strip-exif "$G/cut-exif.jpg"
# An APP1 segment whose length runs past the end of the file.
perl -e 'local $/; my $d = <STDIN>; my $i = index($d, "\xFF\xE1"); substr($d, $i + 2, 2) = pack("n", 65535); print $d' \
  <"$G/exif.jpg" >"$G/app1-too-long.jpg"
check_refused app1-too-long "" "$G/app1-too-long.jpg"
check_refused "app1-too-long --strip-exif" "" --strip-exif "$G/app1-too-long.jpg"

echo "generated: ${#cases[@]} files to accept, $REFUSALS refusals checked, $FAILURES failure(s)"
[ "$FAILURES" = 0 ]
