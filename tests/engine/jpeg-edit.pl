#!/usr/bin/perl
# Small edits on the header segments of a JPEG file, for building test files
# that the usual encoders do not write, and for computing expected results:
#   jpeg-edit.pl merge-dht IN OUT          all DHT segments before the scan become one
#                                          segment, at the place of the first one
#   jpeg-edit.pl insert IN OUT FFxx TEXT   adds a segment with TEXT as its body right
#                                          after SOI and any APP0 segments
#   jpeg-edit.pl insert-file IN OUT FFxx FILE   the same with a file's bytes as the body
#   jpeg-edit.pl drop IN OUT FFxx          removes every header segment with that marker
use strict;
use warnings;

my ($cmd, $in, $out, @args) = @ARGV;
die "usage: jpeg-edit.pl merge-dht|insert|insert-file|drop IN OUT [ARGS]\n" unless $cmd && $in && $out;

sub slurp {
    my ($path) = @_;
    open(my $fh, '<:raw', $path) or die "$path: $!\n";
    local $/;
    my $d = <$fh>;
    close $fh;
    return $d;
}

# Splits a file into (header segments as [marker, whole bytes]), and the rest from SOS on.
sub split_headers {
    my ($d) = @_;
    die "$in: no SOI\n" unless substr($d, 0, 2) eq "\xFF\xD8";
    my @segs;
    my $p = 2;
    while (1) {
        die "$in: no scan header found\n" if $p + 4 > length $d;
        my $m = unpack('n', substr($d, $p, 2));
        die sprintf("%s: unexpected bytes %04X at %d\n", $in, $m, $p) if ($m & 0xFF00) != 0xFF00;
        last if $m == 0xFFDA;
        my $len = unpack('n', substr($d, $p + 2, 2));
        push @segs, [$m, substr($d, $p, 2 + $len)];
        $p += 2 + $len;
    }
    return (\@segs, substr($d, $p));
}

sub segment {
    my ($marker, $body) = @_;
    die "segment body too long\n" if length($body) > 65533;
    return pack('nn', $marker, length($body) + 2) . $body;
}

my $d = slurp($in);
my ($segs, $rest) = split_headers($d);
my @outsegs;

if ($cmd eq 'merge-dht') {
    my $body = join('', map { substr($_->[1], 4) } grep { $_->[0] == 0xFFC4 } @$segs);
    my $done = 0;
    for my $s (@$segs) {
        if ($s->[0] != 0xFFC4) { push @outsegs, $s->[1]; next; }
        next if $done++;
        push @outsegs, segment(0xFFC4, $body);
    }
} elsif ($cmd eq 'insert' || $cmd eq 'insert-file') {
    my ($marker, $payload) = @args;
    die "insert needs FFxx and a body\n" unless defined $payload;
    $payload = slurp($payload) if $cmd eq 'insert-file';
    my $placed = 0;
    for my $s (@$segs) {
        if (!$placed && $s->[0] != 0xFFE0) { push @outsegs, segment(hex($marker), $payload); $placed = 1; }
        push @outsegs, $s->[1];
    }
    push @outsegs, segment(hex($marker), $payload) unless $placed;
} elsif ($cmd eq 'drop') {
    my $marker = hex($args[0] // die "drop needs FFxx\n");
    @outsegs = map { $_->[1] } grep { $_->[0] != $marker } @$segs;
} else {
    die "unknown command $cmd\n";
}

open(my $fh, '>:raw', $out) or die "$out: $!\n";
print $fh "\xFF\xD8", @outsegs, $rest;
close $fh or die "$out: $!\n";
