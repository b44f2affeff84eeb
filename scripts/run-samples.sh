#!/usr/bin/env bash
# Shrinks every bundled sample with lumaro-cli into a temporary folder and
# prints, per file, its size before and after and the saving, then a total.
# The samples themselves are never touched.
# Usage: scripts/run-samples.sh BUILD_DIR [SAMPLES_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?usage: run-samples.sh BUILD_DIR [SAMPLES_DIR]}"
samples="${2:-$here/samples}"
cli="$build/cli/lumaro-cli"
[ -x "$cli" ] || { echo "run-samples: $cli not found: build the project first" >&2; exit 1; }

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

shopt -s nullglob nocaseglob
files=("$samples"/*.jpg "$samples"/*.jpeg)
shopt -u nocaseglob
[ ${#files[@]} -gt 0 ] || { echo "run-samples: no JPEG files in $samples" >&2; exit 1; }

printf '%-28s %10s %10s %10s %7s\n' "file" "before" "after" "saved" "%"
total_before=0 total_after=0 failed=0 count=0
for f in "${files[@]}"; do
  name="$(basename "$f")"
  before=$(stat -c %s "$f")
  rc=0
  "$cli" --stdout "$f" >"$out/$name" 2>"$out/$name.err" || rc=$?
  if [ "$rc" != 0 ]; then
    why="$(sed "s|^$f: ||" "$out/$name.err" | head -n 1)"
    [ "$rc" = 1 ] || why="lumaro-cli ended with status $rc ${why}"
    printf '%-28s %10d %10s  %s\n' "$name" "$before" "-" "$why"
    failed=$((failed + 1))
    continue
  fi
  after=$(stat -c %s "$out/$name")
  saved=$((before - after))
  printf '%-28s %10d %10d %10d %7s\n' "$name" "$before" "$after" "$saved" \
    "$(awk -v s="$saved" -v b="$before" 'BEGIN { printf "%.1f", b ? 100 * s / b : 0 }')"
  total_before=$((total_before + before))
  total_after=$((total_after + after))
  count=$((count + 1))
done
saved=$((total_before - total_after))
printf '%-28s %10d %10d %10d %7s\n' "total ($count files)" "$total_before" "$total_after" "$saved" \
  "$(awk -v s="$saved" -v b="$total_before" 'BEGIN { printf "%.1f", b ? 100 * s / b : 0 }')"
if [ "$failed" -gt 0 ]; then
  echo "run-samples: $failed file(s) could not be processed" >&2
  exit 1
fi
