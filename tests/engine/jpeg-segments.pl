#!/usr/bin/perl
# Lists the marker structure of a JPEG file, one line per item:
#   SOI
#   FFxx LENGTH           a header segment (LENGTH as in its length field)
#   DHT c t COUNT         one line per table inside each DHT segment
#   DRI N                 the restart interval
#   SCAN BYTES RST        entropy-coded data: its size and the restart markers in it
#   RSTCYCLE yes|no       whether the restart markers run RST0..RST7, RST0... (only when
#                         there are any)
#   FFD9                  end of image
#   TRAIL N               bytes after the end-of-image marker (only when N > 0)
#   BAD text              anything the walk cannot make sense of; exit status 2
# Used by the engine tests to check what was kept, dropped and rewritten.
use strict;
use warnings;

my $path = shift or die "usage: jpeg-segments.pl FILE\n";
open(my $fh, '<:raw', $path) or die "$path: $!\n";
local $/;
my $d = <$fh>;
close $fh;
my $n = length $d;
my $p = 0;

sub bad { print "BAD $_[0] at $p\n"; exit 2; }
sub byte_at { return ord(substr($d, $_[0], 1)); }

bad("no SOI") unless $n >= 2 && byte_at(0) == 0xFF && byte_at(1) == 0xD8;
print "SOI\n";
$p = 2;
while ($p < $n) {
    bad("expected marker") unless byte_at($p) == 0xFF && $p + 1 < $n;
    my $m = byte_at($p + 1);
    if ($m == 0xD9) {
        print "FFD9\n";
        $p += 2;
        my $rest = $n - $p;
        print "TRAIL $rest\n" if $rest > 0;
        exit 0;
    }
    bad("truncated segment") if $p + 4 > $n;
    my $len = byte_at($p + 2) * 256 + byte_at($p + 3);
    bad("segment runs past the end") if $len < 2 || $p + 2 + $len > $n;
    printf("%04X %d\n", 0xFF00 + $m, $len);
    my $body = substr($d, $p + 4, $len - 2);
    if ($m == 0xC4) {
        my $q = 0;
        while ($q < length $body) {
            bad("short DHT") if $q + 17 > length $body;
            my $tc = ord(substr($body, $q, 1));
            my $total = 0;
            $total += ord(substr($body, $q + 1 + $_, 1)) for 0 .. 15;
            printf("DHT %d %d %d\n", $tc >> 4, $tc & 15, $total);
            $q += 17 + $total;
        }
        bad("DHT length mismatch") if $q != length $body;
    } elsif ($m == 0xDD) {
        printf("DRI %d\n", ord(substr($body, 0, 1)) * 256 + ord(substr($body, 1, 1)));
    }
    $p += 2 + $len;
    if ($m == 0xDA) {
        # Entropy-coded data runs to the first marker that is neither stuffing nor RSTn.
        my $start = $p;
        my @rst;
        while ($p < $n) {
            if (byte_at($p) == 0xFF && $p + 1 < $n) {
                my $x = byte_at($p + 1);
                if ($x == 0x00) { $p += 2; next; }
                if ($x == 0xFF) { $p += 1; next; }
                if ($x >= 0xD0 && $x <= 0xD7) { push @rst, $x - 0xD0; $p += 2; next; }
                last;
            }
            $p++;
        }
        bad("scan runs to the end of the file") if $p >= $n;
        printf("SCAN %d %d\n", $p - $start, scalar @rst);
        if (@rst) {
            my $cycle = 'yes';
            for my $i (0 .. $#rst) { $cycle = 'no' if $rst[$i] != $i % 8; }
            print "RSTCYCLE $cycle\n";
        }
    }
}
bad("no EOI");
