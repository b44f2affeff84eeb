#!/usr/bin/env bash
# Peak memory (maximum resident set, /usr/bin/time %M) of lumaro-cli --stdout
# on the worst inputs we can forge: the largest frames with the least scan
# data (two bits a block) and blocks packed with coefficients (63 of them in
# 127 bits). Not part of the test suite: some of these ask for gigabytes.
# Usage: measure-memory.sh LUMARO_CLI [WORK_DIR]
set -uo pipefail
cli=$1; work=${2:-$(mktemp -d)}
mkdir -p "$work"

# forge OUT WIDTH HEIGHT COMPONENTS DENSE [SCAN_BYTES]
forge() {
  perl -e '
    my ($out, $w, $h, $nc, $dense, $scan) = @ARGV;
    my $j = "\xFF\xD8";
    $j .= pack("nnC", 0xFFDB, 67, 0) . ("\x01" x 64);
    $j .= pack("nnCnnC", 0xFFC0, 8 + 3 * $nc, 8, $h, $w, $nc);
    $j .= pack("CCC", $_, 0x11, 0) for 1 .. $nc;
    # DC: one 1-bit code for size 0. AC: one 1-bit code, for EOB (sparse
    # blocks) or for run 0 / size 1 (every coefficient -1, dense blocks).
    $j .= pack("nnC", 0xFFC4, 20, 0x00) . "\x01" . ("\x00" x 15) . "\x00";
    $j .= pack("nnC", 0xFFC4, 20, 0x10) . "\x01" . ("\x00" x 15) . ($dense ? "\x01" : "\x00");
    $j .= pack("nnC", 0xFFDA, 6 + 2 * $nc, $nc);
    $j .= pack("CC", $_, 0) for 1 .. $nc;
    $j .= "\x00\x3F\x00";
    my $blocks = int(($w + 7) / 8) * int(($h + 7) / 8) * $nc;
    $scan ||= int(($blocks * ($dense ? 127 : 2) + 7) / 8);
    open(my $f, ">:raw", $out) or die;
    print $f $j; print $f "\x00" x $scan; print $f "\xFF\xD9"; close $f;' "$@"
}

measure() {
  local name=$1; shift
  forge "$work/$name.jpg" "$@"
  local size; size=$(stat -c %s "$work/$name.jpg")
  local start; start=$(date +%s.%N)
  /usr/bin/time -f %M -o "$work/$name.rss" "$cli" --stdout "$work/$name.jpg" > /dev/null 2> "$work/$name.err"
  local rc=$?
  local secs; secs=$(echo "$(date +%s.%N) - $start" | bc)
  printf '%-34s input %11d B  exit %d  peak RSS %8d KiB  %6.2f s  %s\n' "$name" "$size" "$rc" \
    "$(tail -1 "$work/$name.rss")" "$secs" "$(head -c 120 "$work/$name.err" | tr '\n' ' ')"
}

measure huge-frame-tiny-scan       65535 65535 3 0 64
measure sparse-65535x65535-grey    65535 65535 1 0
measure sparse-65535x65535-colour  65535 65535 3 0
measure dense-4096x4096-grey        4096  4096 1 1
measure dense-16384x8192-grey      16384  8192 1 1
measure dense-8192x8192-colour     8192  8192 3 1
