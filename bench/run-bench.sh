#!/usr/bin/env bash
# Times lumaro-cli against its peers on the same files in one run:
# jpegtran -optimize -copy all and jpegoptim --strip-none (the same job), and
# djpeg (decoding to pixels).
# Usage: bench/run-bench.sh BUILD_DIR [REPS]
set -euo pipefail
build=${1:-build-bench}
reps=${2:-5}
cli="$build/cli/lumaro-cli"
shared="$(cd "$(dirname "$0")/.." && pwd)/../shared/corpus"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# CPU time the host took from this virtual machine (steal) during the run,
# against all CPU time that passed: when it is high, two threads wait for
# each other's CPU and the times say more about the host than about the
# programs.
cpu_times() { awk '/^cpu /{busy=0; for (i = 2; i <= NF; ++i) busy += $i; print $9, busy}' /proc/stat 2>/dev/null || echo "0 0"; }
read -r steal0 all0 < <(cpu_times)

files=()
for f in camera/tests/42_IndexError.jpg camera/hdr/iphone_hdr_NO.jpg camera/Reconyx_HC500_Hyperfire.jpg; do
  [ -f "$shared/$f" ] && files+=("$shared/$f")
done
if [ ${#files[@]} -eq 0 ]; then
  echo "(no shared corpus: timing the bundled samples)"
  files=(samples/*.jpg)
fi

# Median wall time (microseconds) and peak RSS (KB) of each command, one line
# each: lumaro-measure arguments, commands separated by ":::" and run in turn,
# round after round, so that the machine's changes of speed fall on all alike.
measure() {
  "$build/bench/lumaro-measure" "$reps" "$@" | while read -r ms kb; do
    echo "$(echo "$ms*1000/1" | bc) $kb"
  done
}

printf '%-28s %9s %8s %8s %10s | %9s %8s %7s | %9s %7s | %9s %7s\n' file "lumaro ms" "MB/s" "RSS MB" "out bytes" \
  "jpegtran" "RSS MB" "ratio" "jpegoptim" "ratio" "djpeg ms" "ratio"
sum_l=0; sum_j=0; sum_o=0; sum_d=0
for f in "${files[@]}"; do
  size=$(stat -c%s "$f")
  { read -r tl rl; read -r tj rj; read -r to ro; read -r td rd; } < <(measure "$tmp/l.jpg" "$cli" --stdout "$f" \
    ::: "$tmp/j.jpg" jpegtran -optimize -copy all "$f" ::: "$tmp/o.jpg" jpegoptim -q --strip-none --stdout "$f" \
    ::: /dev/null djpeg "$f")
  sum_l=$((sum_l + tl)); sum_j=$((sum_j + tj)); sum_o=$((sum_o + to)); sum_d=$((sum_d + td))
  printf '%-28s %9.1f %8.1f %8.1f %10d | %9.1f %8.1f %6.1fx | %9.1f %6.1fx | %9.1f %6.1fx\n' "$(basename "$f")" \
    "$(echo "$tl/1000" | bc -l)" "$(echo "$size/$tl" | bc -l)" "$(echo "$rl/1024" | bc -l)" "$(stat -c%s "$tmp/l.jpg")" \
    "$(echo "$tj/1000" | bc -l)" "$(echo "$rj/1024" | bc -l)" "$(echo "$tj/$tl" | bc -l)" \
    "$(echo "$to/1000" | bc -l)" "$(echo "$to/$tl" | bc -l)" \
    "$(echo "$td/1000" | bc -l)" "$(echo "$td/$tl" | bc -l)"
done
# The batch form over a whole folder against a shell loop of jpegtran, and
# what each makes of the folder's files (only those lumaro accepts).
batch_dir="$shared/camera"
if [ -d "$batch_dir" ]; then
  mapfile -t all < <(find "$batch_dir" -iname '*.jp*g' | sort)
  mkdir -p "$tmp/b"
  # Each command writes into a folder of its own, emptied before every run.
  mkdir -p "$tmp/jl" "$tmp/jo"
  loop='i=0; for f in "$@"; do i=$((i+1)); jpegtran -optimize -copy all "$f" > "'"$tmp"'/jl/j$i.jpg" 2>/dev/null; done; true'
  { read -r tb rb; read -r tl2 rl2; read -r tjo rjo; } < <(measure "$tmp/b" "$cli" -r -q --keep-going -j 2 -o "$tmp/b" "$batch_dir" \
    ::: "$tmp/jl" bash -c "$loop" _ "${all[@]}" ::: "$tmp/jo" jpegoptim -q --strip-none -o -d "$tmp/jo" "${all[@]}")
  ours=0; theirs=0; i=0
  for f in "${all[@]}"; do
    i=$((i + 1))
    r="$tmp/b/result_lumaro/$(basename "$f")"
    [ -f "$r" ] && [ -s "$tmp/jl/j$i.jpg" ] || continue
    ours=$((ours + $(stat -c%s "$r"))); theirs=$((theirs + $(stat -c%s "$tmp/jl/j$i.jpg")))
  done
  printf 'batch over %s (%d files): lumaro-cli -j 2 %.1f ms, peak RSS %.1f MB; jpegtran shell loop %.1f ms (%.1fx faster)\n' \
    "camera/" "${#all[@]}" "$(echo "$tb/1000" | bc -l)" "$(echo "$rb/1024" | bc -l)" "$(echo "$tl2/1000" | bc -l)" \
    "$(echo "$tl2/$tb" | bc -l)"
  printf 'jpegoptim over the same files in one process: %.1f ms (%.1fx lumaro)\n' "$(echo "$tjo/1000" | bc -l)" \
    "$(echo "$tjo/$tb" | bc -l)"
  printf 'output bytes of the accepted files: lumaro %d, jpegtran -optimize %d (%+.2f%%)\n' "$ours" "$theirs" \
    "$(echo "($ours-$theirs)*100/$theirs" | bc -l)"
fi
# The overall ratio comes last, after what the host took meanwhile.
read -r steal1 all1 < <(cpu_times)
if [ "$all1" -gt "$all0" ]; then
  printf 'CPU time taken by the host (steal) during the run: %.1f%%\n' "$(echo "($steal1-$steal0)*100/($all1-$all0)" | bc -l)"
fi
printf 'overall: lumaro %.1f ms, jpegtran %.1f ms (%.1fx faster), jpegoptim %.1f ms (%.1fx faster), djpeg %.1f ms (%.1fx faster)\n' \
  "$(echo "$sum_l/1000" | bc -l)" "$(echo "$sum_j/1000" | bc -l)" "$(echo "$sum_j/$sum_l" | bc -l)" \
  "$(echo "$sum_o/1000" | bc -l)" "$(echo "$sum_o/$sum_l" | bc -l)" \
  "$(echo "$sum_d/1000" | bc -l)" "$(echo "$sum_d/$sum_l" | bc -l)"
