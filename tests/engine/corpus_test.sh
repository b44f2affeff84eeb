#!/usr/bin/env bash
# Runs lumaro-cli over every JPEG of the shared corpus and holds each file to
# its expected outcome (corpus-expectations.txt): accepted files must keep
# their pixels and segments, refused ones must fail cleanly with their message.
# Usage: corpus_test.sh LUMARO_CLI CORPUS_DIR       (exit 77: no corpus, skipped)
set -euo pipefail
CLI="${1:?usage: corpus_test.sh LUMARO_CLI CORPUS_DIR}"
CORPUS="${2:?usage: corpus_test.sh LUMARO_CLI CORPUS_DIR}"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/oracle-lib.sh"

if [ ! -d "$CORPUS" ]; then
  echo "SKIPPED: no corpus at $CORPUS"
  exit 77
fi
require_tools djpeg jpeginfo exiftool perl cmp
[ -x "$CLI" ] || { echo "lumaro-cli not found at $CLI"; exit 1; }

TMP_ROOT="$(mktemp -d)"
trap 'rm -rf "$TMP_ROOT"' EXIT

declare -A expect fragment
while IFS=$'\t' read -r path outcome frag; do
  case "$path" in ''|'#'*) continue ;; esac
  expect["$path"]="$outcome"
  fragment["$path"]="${frag:-}"
done <"$here/corpus-expectations.txt"

# What a file's own description says, for files the table does not know.
guess_outcome() {
  local f="$1"
  if [ "$(jpeginfo_verdict "$f")" = OK ] &&
     [ "$(exiftool -s -s -s -EncodingProcess "$f")" = "Baseline DCT, Huffman coding" ] &&
     segments "$f" >/dev/null && [ "$(segments "$f" | grep -c '^FFDA ')" = 1 ]; then
    echo accepted
  else
    echo refused
  fi
}

mapfile -d '' files < <(find "$CORPUS" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) -print0 | sort -z)
[ ${#files[@]} -gt 0 ] || { echo "SKIPPED: no JPEG files in $CORPUS"; exit 77; }

accepted=0 refused=0
for f in "${files[@]}"; do
  rel="${f#"$CORPUS"/}"
  outcome="${expect[$rel]:-}"
  if [ -z "$outcome" ]; then
    outcome="$(guess_outcome "$f")"
    echo "note: $rel is not in corpus-expectations.txt; expecting '$outcome' from jpeginfo and exiftool"
  fi
  before=$FAILURES
  case "$outcome" in
    accepted) check_accepted "$f" "$rel"; accepted=$((accepted + 1)) ;;
    refused)
      check_refused "$rel" "${fragment[$rel]:-}" "$f"
      check_refused "$rel (--strip-exif)" "${fragment[$rel]:-}" --strip-exif "$f"
      refused=$((refused + 1)) ;;
    *) fail "$rel" "unknown outcome '$outcome' in corpus-expectations.txt" ;;
  esac
  [ "$FAILURES" = "$before" ] && echo "ok   $rel ($outcome)"
done

# Per file a result may equal its source; over the whole corpus something must be saved.
if [ "$accepted" -gt 0 ] && [ "$SUM_AFTER" -ge "$SUM_BEFORE" ]; then
  fail corpus "no saving at all over the accepted files ($SUM_BEFORE -> $SUM_AFTER bytes)"
fi
echo "corpus: accepted files $SUM_BEFORE -> $SUM_AFTER bytes"
echo "corpus: ${#files[@]} files, $accepted expected accepted, $refused expected refused, $FAILURES failure(s)"
[ "$FAILURES" = 0 ]
