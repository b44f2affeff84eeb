#!/usr/bin/env bash
# Mutants of the bundled samples through lumaro-cli --stdout: every refusal
# must carry a message and exit 1; every accepted mutant that djpeg decodes
# without a warning must give a result that djpeg decodes to the very same
# pixels. A crash (any other exit code) fails at once.
# Usage: mutants_djpeg_test.sh LUMARO_CLI SAMPLES_DIR [MUTANTS_PER_FILE]
set -uo pipefail
cli=$1; samples=$2; per=${3:-60}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
tried=0 refused=0 accepted=0 judged=0 faults=0

fault() { echo "FAULT: $*"; faults=$((faults + 1)); }

for src in "$samples"/*.jpg; do
  name=$(basename "$src" .jpg)
  # Deterministic mutants: cuts at evenly spaced offsets and just before the
  # end, and single bytes flipped at pseudo-random places.
  perl -e '
    my ($src, $dir, $name, $per) = @ARGV;
    open(my $f, "<:raw", $src) or die; local $/; my $d = <$f>; close $f;
    my $n = length $d; srand(7);
    my @cuts = map { int($n * $_ / ($per / 2 + 1)) } 1 .. $per / 2;
    push @cuts, $n - 1, $n - 2;
    for my $c (@cuts) { open(my $o, ">:raw", "$dir/$name-cut$c.jpg"); print $o substr($d, 0, $c); close $o; }
    for my $i (1 .. $per / 2) {
      my $p = int(rand($n)); my $m = $d;
      substr($m, $p, 1) = chr(ord(substr($m, $p, 1)) ^ (1 << int(rand(8))));
      open(my $o, ">:raw", "$dir/$name-flip$p.jpg"); print $o $m; close $o;
    }' "$src" "$work" "$name" "$per"
done

for m in "$work"/*.jpg; do
  tried=$((tried + 1))
  "$cli" --stdout "$m" > "$m.out" 2> "$m.err"
  rc=$?
  if [ $rc -eq 1 ]; then
    refused=$((refused + 1))
    [ -s "$m.err" ] || fault "$(basename "$m"): refused without a message"
    continue
  fi
  [ $rc -eq 0 ] || { fault "$(basename "$m"): exit code $rc"; continue; }
  accepted=$((accepted + 1))
  djpeg -ppm "$m" > "$m.in.ppm" 2> /dev/null || continue  # djpeg itself had to guess
  judged=$((judged + 1))
  if ! djpeg -ppm "$m.out" > "$m.out.ppm" 2> "$m.djpeg"; then
    fault "$(basename "$m"): djpeg does not read the result cleanly: $(head -c 200 "$m.djpeg")"
  elif ! cmp -s "$m.in.ppm" "$m.out.ppm"; then
    fault "$(basename "$m"): the result decodes to other pixels"
  fi
done

echo "mutants: $tried tried, $refused refused, $accepted accepted, $judged compared pixel for pixel, $faults faults"
[ "$tried" -gt 0 ] && [ "$judged" -gt 0 ] && [ "$faults" -eq 0 ]
