#!/usr/bin/env bash
# Runs lumaro-cli over the shared corpus and prints, per file, the size before,
# ours, and what `jpegtran -optimize -copy all` makes of the same file, then the
# totals over the files lumaro accepts. jpegtran drops restart markers unless
# told the interval, so a last column gives its size with the source's restart
# interval kept (the like-for-like figure; equal to the previous one without DRI). The comparison is for information; the
# script fails only if a result is larger than its source or is empty.
# Usage: scripts/corpus-table.sh BUILD_DIR [CORPUS_DIR]
#        scripts/corpus-table.sh --cli LUMARO_CLI [CORPUS_DIR]
# Default CORPUS_DIR: ../shared/corpus beside the project. Exit 77: no corpus.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
usage="usage: corpus-table.sh BUILD_DIR|--cli LUMARO_CLI [CORPUS_DIR]"
if [ "${1:-}" = --cli ]; then
  cli="${2:?$usage}"; shift 2
else
  cli="${1:?$usage}/cli/lumaro-cli"; shift
fi
corpus="${1:-$here/../shared/corpus}"
if [ ! -d "$corpus" ]; then
  echo "SKIPPED: no corpus at $corpus"
  exit 77
fi
[ -x "$cli" ] || { echo "corpus-table: lumaro-cli not found at $cli" >&2; exit 1; }
command -v jpegtran >/dev/null || { echo "corpus-table: jpegtran is missing (scripts/deps.sh test)" >&2; exit 1; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b ? 100 * (b - a) / b : 0 }'; }

mapfile -d '' files < <(find "$corpus" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) -print0 | sort -z)
# jpegtran_size FILE ARGS...: size of jpegtran's result, or "failed".
jpegtran_size() {
  local f="$1"; shift
  if jpegtran -optimize -copy all "$@" -outfile "$tmp/jt.jpg" "$f" 2>/dev/null; then stat -c %s "$tmp/jt.jpg"; else echo failed; fi
}

printf '%-36s %10s %10s %10s %10s\n' "file" "before" "lumaro" "jpegtran" "jt+restart"
accepted=0 refused=0 bad=0 sum_before=0 sum_ours=0 sum_jt=0 sum_jtr=0 jt_failed=0
for f in "${files[@]}"; do
  rel="${f#"$corpus"/}"
  before=$(stat -c %s "$f")
  if ! "$cli" --stdout "$f" >"$tmp/ours.jpg" 2>"$tmp/ours.err"; then
    printf '%-36s %10d %10s %10s %10s  %s\n' "$rel" "$before" "refused" "-" "-" "$(sed "s|^$f: ||" "$tmp/ours.err" | head -n 1)"
    refused=$((refused + 1))
    continue
  fi
  ours=$(stat -c %s "$tmp/ours.jpg")
  jt=$(jpegtran_size "$f")
  dri=$(perl "$here/tests/engine/jpeg-segments.pl" "$f" 2>/dev/null | sed -n 's/^DRI //p' | head -n 1 || true)
  if [ -n "$dri" ] && [ "$dri" -gt 0 ]; then jtr=$(jpegtran_size "$f" -restart "${dri}B"); else jtr=$jt; fi
  if [ "$jt" = failed ] || [ "$jtr" = failed ]; then jt_failed=$((jt_failed + 1)); fi
  note=""
  if [ "$ours" -gt "$before" ] || [ "$ours" -eq 0 ]; then note="  FAIL: result of $ours bytes for a source of $before"; bad=$((bad + 1)); fi
  printf '%-36s %10d %10d %10s %10s%s\n' "$rel" "$before" "$ours" "$jt" "$jtr" "$note"
  accepted=$((accepted + 1))
  sum_before=$((sum_before + before)); sum_ours=$((sum_ours + ours))
  [ "$jt" = failed ] || sum_jt=$((sum_jt + jt))
  [ "$jtr" = failed ] || sum_jtr=$((sum_jtr + jtr))
done

echo
echo "files: ${#files[@]} ($accepted accepted, $refused refused)"
echo "accepted files, total bytes: before $sum_before, lumaro $sum_ours (-$(pct "$sum_ours" "$sum_before")%), jpegtran -optimize -copy all $sum_jt (-$(pct "$sum_jt" "$sum_before")%), the same keeping the restart interval $sum_jtr (-$(pct "$sum_jtr" "$sum_before")%)"
[ "$jt_failed" = 0 ] || echo "jpegtran failed on $jt_failed accepted file(s); they are left out of its total"
if [ "$bad" -gt 0 ]; then
  echo "corpus-table: $bad result(s) larger than the source or empty" >&2
  exit 1
fi
