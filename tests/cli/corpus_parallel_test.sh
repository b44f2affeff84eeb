#!/usr/bin/env bash
# Runs lumaro-cli over a copy of the shared camera corpus twice, with one
# worker and with two, and requires the same files and the same report; every
# result must decode to its source's pixels, and a file that cannot be
# processed must come out as its original bytes (--keep-going).
# Usage: corpus_parallel_test.sh LUMARO_CLI CORPUS_DIR   (exit 77: no corpus)
set -uo pipefail
CLI="$(realpath "${1:?usage: corpus_parallel_test.sh LUMARO_CLI CORPUS_DIR}")"
CORPUS="${2:?usage: corpus_parallel_test.sh LUMARO_CLI CORPUS_DIR}"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/cli-lib.sh"
[ -d "$CORPUS" ] || { echo "no corpus at $CORPUS: skipped"; exit 77; }
require_tools djpeg python3 cmp

ROOT="$(mktemp -d)"
trap 'rm -rf "$ROOT"' EXIT
for j in 1 2; do
  mkdir -p "$ROOT/j$j"
  cp -r "$CORPUS"/. "$ROOT/j$j/"
  chmod -R u+w "$ROOT/j$j"
  run_cli_in "$ROOT/j$j" -r --keep-going --json -j "$j" .
  echo "$RC" >"$ROOT/rc$j"; cp "$OUT" "$ROOT/raw$j.json"
  sed -E 's/"elapsed_ms":[0-9]+/"elapsed_ms":0/; s/処理時間  [0-9]+/T/' "$OUT" >"$ROOT/report$j.json"
done
[ "$(cat "$ROOT/rc1")" = "$(cat "$ROOT/rc2")" ] || fail "exit" "-j 1 gave $(cat "$ROOT/rc1"), -j 2 gave $(cat "$ROOT/rc2")"
diff -r "$ROOT/j1" "$ROOT/j2" >/dev/null || fail "files" "-j 1 and -j 2 differ: $(diff -rq "$ROOT/j1" "$ROOT/j2" | head -n 3)"
cmp -s "$ROOT/report1.json" "$ROOT/report2.json" || fail "report" "-j 1 and -j 2 reported differently"

# Per file: the report's status against what is on disk.
python3 - "$ROOT/report1.json" >"$ROOT/files.txt" <<'PY' || fail "report" "a line does not parse"
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if "source" in r:
        print(r["status"], r["source"], r["result"] or "-", sep="\t")
PY
n=0
while IFS=$'\t' read -r status src res; do
  n=$((n + 1))
  src="$ROOT/j1/$src"; res="$ROOT/j1/$res"
  case "$status" in
    done) check_result "$src" "$res" "$src" ;;
    unchanged) cmp -s "$src" "$res" || fail "$src" "unchanged, but the result differs from the source" ;;
    failed)
      if [ "$res" = "$ROOT/j1/-" ]; then fail "$src" "failed without a result despite --keep-going"
      else cmp -s "$src" "$res" || fail "$src" "failed, but the result is not the original bytes"; fi ;;
    *) fail "$src" "status $status" ;;
  esac
done <"$ROOT/files.txt"
[ "$n" -gt 0 ] || fail "corpus" "no file was reported"
echo "$n files checked"
finish
