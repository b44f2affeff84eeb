#!/usr/bin/env bash
# Runs lumaro-cli as a user would, on copies of JPEG files in temporary
# folders, and checks what lands on disk: every destination, sub-folders, the
# options, the error policy, parallel runs and the two output formats.
# Usage: batch_test.sh LUMARO_CLI SAMPLES_DIR
set -uo pipefail
CLI="$(realpath "${1:?usage: batch_test.sh LUMARO_CLI SAMPLES_DIR}")"
SAMPLES="${2:?usage: batch_test.sh LUMARO_CLI SAMPLES_DIR}"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/cli-lib.sh"
require_tools cjpeg djpeg convert python3 cmp stat touch

ROOT="$(mktemp -d)"
trap 'rm -rf "$ROOT"' EXIT

# ---- test pictures: the bundled samples and a few made here ------------------
PICS="$ROOT/pics"
mkdir -p "$PICS"
cp "$SAMPLES"/*.jpg "$PICS/"
convert -size 480x360 gradient:navy-orange -swirl 120 "$ROOT/swirl.ppm"
convert -size 400x300 pattern:checkerboard -blur 0x2 "$ROOT/board.ppm"
cjpeg -quality 90 -outfile "$PICS/swirl.jpg" "$ROOT/swirl.ppm"
cjpeg -quality 75 -sample 2x1 -restart 3 -outfile "$PICS/board-restart.jpg" "$ROOT/board.ppm"
cjpeg -grayscale -quality 60 -outfile "$PICS/swirl-gray.jpg" "$ROOT/swirl.ppm"
cjpeg -progressive -outfile "$ROOT/progressive.jpg" "$ROOT/swirl.ppm"
# A baseline file whose scan is cut short: the engine cannot process it.
head -c 3000 "$PICS/swirl.jpg" >"$ROOT/truncated.jpg"

fresh() {  # fresh NAME: an empty folder
  rm -rf "${ROOT:?}/$1"; mkdir -p "$ROOT/$1"; echo "$ROOT/$1"
}

# ==== default destination: result_lumaro beside each source ===================
W=$(fresh mode0)
mkdir -p "$W/a" "$W/b"
cp "$PICS"/*.jpg "$W/a/"
cp "$PICS/rose-420.jpg" "$PICS/swirl.jpg" "$W/b/"
cp -r "$W/a" "$W/a.orig"; rm -rf "$W/a.orig/result_lumaro"
run_cli_in "$W" a b/rose-420.jpg b/swirl.jpg
expect_rc 0 "mode 0"
for f in "$W"/a.orig/*.jpg; do
  n=$(basename "$f")
  cmp -s "$f" "$W/a/$n" || fail "mode 0" "source $n was changed"
  check_result "$f" "$W/a/result_lumaro/$n" "mode 0 $n"
  grep -qF "a/$n: $(size_of "$f") → $(size_of "$W/a/result_lumaro/$n") byte" "$OUT" ||
    fail "mode 0" "no line with the sizes of a/$n"
done
check_result "$W/b/rose-420.jpg" "$W/b/result_lumaro/rose-420.jpg" "mode 0 second folder"
check_result "$W/b/swirl.jpg" "$W/b/result_lumaro/swirl.jpg" "mode 0 second folder"
n_files=$(( $(ls "$W"/a.orig/*.jpg | wc -l) + 2 ))
before=$(cat "$W"/a.orig/*.jpg "$W"/b/rose-420.jpg "$W"/b/swirl.jpg | wc -c)
after=$(cat "$W"/a/result_lumaro/*.jpg "$W"/b/result_lumaro/*.jpg | wc -c)
grep -qE "^${n_files}個のファイルを処理しました。\(処理時間  [0-9]+ミリ秒\)。合計${before}byte→${after}byte。ダブルクリックすると処理後の画像を表示します。$" "$OUT" ||
  fail "mode 0" "summary line missing or wrong: $(tail -n 1 "$OUT")"
# One file: the short summary.
run_cli_in "$W" b/rose-420.jpg
grep -qE '^処理時間  [0-9]+ミリ秒。ダブルクリックすると処理後の画像を表示します。$' "$OUT" ||
  fail "mode 0" "one file should give the short summary: $(tail -n 1 "$OUT")"

# A file named twice (also through another spelling of its path) runs once.
run_cli_in "$W" --json b/rose-420.jpg ./b/rose-420.jpg "$W/b//rose-420.jpg"
[ "$(grep -c '"source"' "$OUT")" = 1 ] || fail "duplicates" "a file named three times gave $(grep -c '"source"' "$OUT") lines"

# ==== -o DIR: into DIR/result_lumaro ==========================================
W=$(fresh fixed)
mkdir -p "$W/x" "$W/y" "$W/out"
cp "$PICS/swirl.jpg" "$W/x/pic.jpg"
cp "$PICS/wizard-444.jpg" "$W/y/pic.jpg"
cp "$PICS/rose-420.jpg" "$W/x/rose.jpg"
for jobs in 1 2; do
  rm -rf "$W/out/result_lumaro"
  run_cli_in "$W" -j "$jobs" -o out x/pic.jpg y/pic.jpg x/rose.jpg
  expect_rc 0 "-o -j $jobs"
  check_result "$W/x/rose.jpg" "$W/out/result_lumaro/rose.jpg" "-o -j $jobs"
  # Two sources of one name: the later in the list replaces the earlier.
  check_result "$W/y/pic.jpg" "$W/out/result_lumaro/pic.jpg" "-o -j $jobs later of two same names"
  [ ! -e "$W/x/result_lumaro" ] || fail "-o" "a result folder appeared beside the sources"
done
run_cli_in "$W" -o missing-folder x/rose.jpg
expect_rc 2 "-o into a folder that does not exist"
[ ! -e "$W/missing-folder" ] || fail "-o" "the missing output folder was created"

# ==== --overwrite ==============================================================
W=$(fresh overwrite)
cp "$PICS"/*.jpg "$W/"
mkdir "$W/orig"; cp "$PICS"/*.jpg "$W/orig/"
run_cli --overwrite "$W"
expect_rc 0 "--overwrite"
for f in "$W"/orig/*.jpg; do
  n=$(basename "$f")
  check_result "$f" "$W/$n" "--overwrite $n"
  "$CLI" --stdout "$f" | cmp -s - "$W/$n" || fail "--overwrite" "$n differs from the --stdout result"
done
[ -z "$(ls "$W" | grep -v '\.jpg$' | grep -v '^orig$')" ] || fail "--overwrite" "extra files: $(ls "$W")"

# ==== --backup, with a.jpg and a.jpeg sharing the backup name =================
for jobs in 1 2; do
  W=$(fresh "backup$jobs")
  cp "$PICS/swirl.jpg" "$W/a.jpg"
  cp "$PICS/rose-420.jpg" "$W/a.jpeg"
  cp "$PICS/wizard-444.jpg" "$W/b.jpg"
  echo "an older backup" >"$W/a.bak"
  touch -d '2001-02-03 04:05:06.123456789' "$W/a.jpg"
  mkdir "$W/orig"; cp -p "$W"/a.jpg "$W"/a.jpeg "$W"/b.jpg "$W/orig/"
  run_cli -j "$jobs" --backup "$W/a.jpg" "$W/a.jpeg" "$W/b.jpg"
  expect_rc 0 "--backup -j $jobs"
  cmp -s "$W/orig/a.jpg" "$W/a.bak" || fail "--backup -j $jobs" "a.bak is not the original a.jpg"
  cmp -s "$W/orig/a.jpeg" "$W/a.jpeg.bak" || fail "--backup -j $jobs" "a.jpeg.bak is not the original a.jpeg"
  cmp -s "$W/orig/b.jpg" "$W/b.bak" || fail "--backup -j $jobs" "b.bak is not the original b.jpg"
  [ "$(mtime_ns "$W/a.bak")" = "$(mtime_ns "$W/orig/a.jpg")" ] || fail "--backup" "a.bak lacks the source's time"
  for n in a.jpg a.jpeg b.jpg; do check_result "$W/orig/$n" "$W/$n" "--backup -j $jobs $n"; done
done

# The same file under two spellings must not have its backup replaced by the
# already processed bytes (which would lose the stripped Exif for good).
W=$(fresh backup-twice)
cp "$PICS/granite-exif.jpg" "$W/g.jpg"; cp "$W/g.jpg" "$ROOT/g.orig"
run_cli_in "$W" --backup --strip-exif g.jpg ./g.jpg "$W/g.jpg"
expect_rc 0 "--backup twice"
cmp -s "$ROOT/g.orig" "$W/g.bak" || fail "--backup twice" "g.bak is not the original"
[ "$(ls "$W" | tr '\n' ' ')" = "g.bak g.jpg " ] || fail "--backup twice" "files: $(ls "$W" | tr '\n' ' ')"

# ==== -r: sub-folders ==========================================================
W=$(fresh recurse)
mkdir -p "$W/top/sub/deeper"
cp "$PICS/rose-420.jpg" "$W/top/"
cp "$PICS/swirl.jpg" "$W/top/sub/"
cp "$PICS/logo-gray.jpg" "$W/top/sub/deeper/LOGO.JPG"
echo "not a picture" >"$W/top/sub/notes.txt"
run_cli "$W/top"
expect_rc 0 "without -r"
[ -e "$W/top/result_lumaro/rose-420.jpg" ] || fail "without -r" "top folder's file not processed"
[ ! -e "$W/top/sub/result_lumaro" ] || fail "without -r" "a sub-folder was searched"
run_cli -r "$W/top"
expect_rc 0 "-r"
check_result "$W/top/sub/swirl.jpg" "$W/top/sub/result_lumaro/swirl.jpg" "-r"
check_result "$W/top/sub/deeper/LOGO.JPG" "$W/top/sub/deeper/result_lumaro/LOGO.JPG" "-r upper-case name"
W2=$(fresh empty)
run_cli "$W2"
expect_rc 0 "a folder without JPEG files"
grep -qF "このフォルダにはJPEGファイルがありません。" "$ERR" || fail "empty folder" "no message: $(cat "$ERR")"

# ==== --strip-exif and --no-optimize ===========================================
W=$(fresh options)
cp "$PICS/granite-exif.jpg" "$W/g.jpg"
[ -n "$(app1_count "$W/g.jpg" | grep -v '^0$')" ] || fail "--strip-exif" "the sample has no APP1 to strip"
run_cli --strip-exif -o "$W" "$W/g.jpg"
expect_rc 0 "--strip-exif"
[ "$(app1_count "$W/result_lumaro/g.jpg")" = 0 ] || fail "--strip-exif" "APP1 left in the result"
check_result "$W/g.jpg" "$W/result_lumaro/g.jpg" "--strip-exif"
run_cli --no-optimize --json -o "$W" "$W/g.jpg"
expect_rc 0 "--no-optimize"
cmp -s "$W/g.jpg" "$W/result_lumaro/g.jpg" || fail "--no-optimize" "result is not the source byte for byte"
grep -qF '"status":"unchanged"' "$OUT" || fail "--no-optimize" "status should be unchanged: $(cat "$OUT")"
run_cli --no-optimize --strip-exif -o "$W" "$W/g.jpg"
[ "$(app1_count "$W/result_lumaro/g.jpg")" = 0 ] || fail "--no-optimize --strip-exif" "APP1 left"
check_result "$W/g.jpg" "$W/result_lumaro/g.jpg" "--no-optimize --strip-exif"

# ==== -p: times copied to the result, with nanoseconds ==========================
W=$(fresh times)
cp "$PICS/swirl.jpg" "$W/t.jpg"
touch -d '2019-07-08 09:10:11.987654321' "$W/t.jpg"
run_cli "$W/t.jpg"
[ "$(mtime_ns "$W/result_lumaro/t.jpg")" != "$(mtime_ns "$W/t.jpg")" ] || fail "no -p" "time copied without -p"
run_cli -p "$W/t.jpg"
expect_rc 0 "-p"
[ "$(mtime_ns "$W/result_lumaro/t.jpg")" = "$(mtime_ns "$W/t.jpg")" ] ||
  fail "-p" "mtime $(mtime_ns "$W/result_lumaro/t.jpg") != source $(mtime_ns "$W/t.jpg")"
run_cli --keep-modified --overwrite "$W/t.jpg"
[ "$(mtime_ns "$W/t.jpg")" = "2019-07-08 09:10:11.987654321" ] || fail "--keep-modified --overwrite" "$(mtime_ns "$W/t.jpg")"

# ==== failures: --keep-going and without it ===================================
for broken in truncated progressive; do
  W=$(fresh "keep-$broken")
  cp "$PICS/rose-420.jpg" "$W/1.jpg"; cp "$ROOT/$broken.jpg" "$W/2.jpg"; cp "$PICS/swirl.jpg" "$W/3.jpg"
  run_cli --keep-going --json -j 1 "$W"
  expect_rc 1 "--keep-going $broken"
  cmp -s "$W/2.jpg" "$W/result_lumaro/2.jpg" || fail "--keep-going $broken" "result of the broken file is not its original bytes"
  check_result "$W/1.jpg" "$W/result_lumaro/1.jpg" "--keep-going $broken"
  check_result "$W/3.jpg" "$W/result_lumaro/3.jpg" "--keep-going $broken file after it"
  python3 - "$OUT" "$broken" <<'EOF' || fail "--keep-going $broken" "JSON: $(cat "$OUT")"
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
files = {r["source"].rsplit("/", 1)[-1]: r for r in rows if "source" in r}
s = rows[-1]
assert files["2.jpg"]["status"] == "failed" and files["2.jpg"]["message"], files["2.jpg"]
assert files["2.jpg"]["after"] == files["2.jpg"]["before"]
assert files["1.jpg"]["status"] == "done" and files["3.jpg"]["status"] == "done"
assert s["processed"] == 3 and s["failed"] == 1 and s["skipped"] == 0, s
EOF
done
W=$(fresh stop)
cp "$PICS/rose-420.jpg" "$W/1.jpg"; cp "$ROOT/truncated.jpg" "$W/2.jpg"; cp "$PICS/swirl.jpg" "$W/3.jpg"
run_cli -j 1 "$W"
expect_rc 1 "without --keep-going"
check_result "$W/1.jpg" "$W/result_lumaro/1.jpg" "without --keep-going, file before"
[ ! -e "$W/result_lumaro/2.jpg" ] || fail "without --keep-going" "the broken file got a result"
[ ! -e "$W/result_lumaro/3.jpg" ] || fail "without --keep-going" "the run went on after the failure"
grep -qF "処理を中止しました。" "$ERR" || fail "without --keep-going" "no stop message: $(cat "$ERR")"
grep -qF "処理を行うことが出来ません。" "$ERR" || fail "without --keep-going" "no engine message: $(cat "$ERR")"
# One file was written before the stop: the short summary of a single file.
grep -qE '^処理時間  [0-9]+ミリ秒。' "$OUT" || fail "without --keep-going" "summary: $(tail -n 1 "$OUT")"
# --overwrite with a broken file: the source stays as it was.
cp "$W/2.jpg" "$ROOT/2.before"
run_cli --overwrite -j 1 "$W/2.jpg"
expect_rc 1 "--overwrite broken"
cmp -s "$W/2.jpg" "$ROOT/2.before" || fail "--overwrite broken" "the broken source was changed"

# Paths that are not JPEG files or do not exist.
W=$(fresh paths)
cp "$PICS/rose-420.jpg" "$W/ok.jpg"; echo "text" >"$W/note.txt"
run_cli "$W/note.txt" "$W/ok.jpg"
expect_rc 1 "a named file that is not a JPEG"
grep -qF "note.txtはJPEGファイルではないようです。" "$ERR" || fail "non-JPEG" "no message: $(cat "$ERR")"
[ -e "$W/result_lumaro/ok.jpg" ] || fail "non-JPEG" "the JPEG beside it was not processed"
rm -rf "$W/result_lumaro"
run_cli "$W/ok.jpg" "$W/missing.jpg"
expect_rc 1 "a missing path"
[ ! -e "$W/result_lumaro" ] || fail "missing path" "files were written although a path was missing"
run_cli --keep-going "$W/ok.jpg" "$W/missing.jpg"
expect_rc 1 "a missing path with --keep-going"
[ -e "$W/result_lumaro/ok.jpg" ] || fail "missing path --keep-going" "the other file was not processed"

# A target that cannot be written: a read-only result folder.
if [ "$(id -u)" != 0 ]; then
  W=$(fresh readonly)
  cp "$PICS/rose-420.jpg" "$W/r.jpg"; mkdir "$W/result_lumaro"; chmod 555 "$W/result_lumaro"
  run_cli "$W/r.jpg"
  expect_rc 1 "read-only result folder"
  grep -qF "ファイルの保存に失敗しました。" "$ERR" || fail "read-only result folder" "$(cat "$ERR")"
  chmod 755 "$W/result_lumaro"
fi

# ==== -j 1 and -j 2 give the same files ======================================
W=$(fresh parallel)
for d in p q; do
  mkdir -p "$W/src/$d/deep"
  cp "$PICS"/*.jpg "$W/src/$d/"
  cp "$PICS/swirl.jpg" "$W/src/$d/deep/"
done
cp "$ROOT/truncated.jpg" "$W/src/q/broken.jpg"
cp -r "$W/src" "$W/j1"; cp -r "$W/src" "$W/j2"
run_cli -r --keep-going --strip-exif --json -j 1 "$W/j1"; rc1=$RC; sed 's/"elapsed_ms":[0-9]*//; s/処理時間  [0-9]*/T/; s#/j1/#/jN/#g' "$OUT" >"$W/j1.json"
run_cli -r --keep-going --strip-exif --json -j 2 "$W/j2"; rc2=$RC; sed 's/"elapsed_ms":[0-9]*//; s/処理時間  [0-9]*/T/; s#/j2/#/jN/#g' "$OUT" >"$W/j2.json"
[ "$rc1" = 1 ] && [ "$rc2" = 1 ] || fail "-j" "exit codes $rc1 and $rc2, expected 1 (one broken file)"
diff -r "$W/j1" "$W/j2" >/dev/null || fail "-j" "-j 1 and -j 2 wrote different files: $(diff -rq "$W/j1" "$W/j2" | head -n 3)"
cmp -s "$W/j1.json" "$W/j2.json" || fail "-j" "-j 1 and -j 2 reported differently"
n_src=$(find "$W/src" -name '*.jpg' | wc -l)
[ "$(find "$W/j1" -path '*result_lumaro/*.jpg' | wc -l)" = "$n_src" ] || fail "-j" "expected $n_src results"

# ==== Ctrl+C during --overwrite: every source is whole, old or new ===========
W=$(fresh interrupt)
convert -seed 3 -size 1600x1200 plasma:fractal "$ROOT/big.ppm"
cjpeg -quality 95 -outfile "$ROOT/big.jpg" "$ROOT/big.ppm"
for i in $(seq 1 24); do cp "$ROOT/big.jpg" "$W/big$i.jpg"; done
"$CLI" -j 1 --overwrite "$W" >"$OUT" 2>"$ERR" & pid=$!
sleep 0.7; kill -INT "$pid" 2>/dev/null; wait "$pid"; RC=$?
[ "$RC" = 130 ] || [ "$RC" = 0 ] || fail "interrupt" "exit $RC, expected 130 (or 0 when it was done first)"
[ "$RC" = 130 ] || echo "note: the run ended before the interrupt"
for i in $(seq 1 24); do check_result "$ROOT/big.jpg" "$W/big$i.jpg" "interrupt big$i"; done
[ -z "$(ls -A "$W" | grep -v '^big[0-9]*\.jpg$')" ] || fail "interrupt" "left behind: $(ls -A "$W" | grep -v '^big[0-9]*\.jpg$')"

# ==== --json: every line parses, paths escaped ================================
W=$(fresh json)
weird=("quote\"d.jpg" 'back\slash.jpg' "日本語の写真.jpg" $'tab\there.jpg' $'\xff\xfe-latin.jpg')
for n in "${weird[@]}"; do cp "$PICS/rose-420.jpg" "$W/$n"; done
run_cli_in "$W" --json .
expect_rc 0 "--json"
lines=0
while IFS= read -r line; do
  lines=$((lines + 1))
  printf '%s\n' "$line" | python3 -m json.tool >/dev/null 2>&1 || fail "--json" "line does not parse: $line"
done <"$OUT"
[ "$lines" = 6 ] || fail "--json" "expected 5 files and a summary, got $lines lines"
python3 - "$OUT" <<'EOF' || fail "--json" "names do not come back: $(cat "$OUT")"
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1], "rb")]
names = {r["source"] for r in rows if "source" in r}
for n in ['./quote"d.jpg', './back\\slash.jpg', './日本語の写真.jpg', './tab\there.jpg', './\ufffd\ufffd-latin.jpg']:
    assert n in names, (n, names)
assert rows[-1]["files"] == 5 and rows[-1]["processed"] == 5
EOF

# ==== -q, --help, --version ====================================================
W=$(fresh quiet)
cp "$PICS/rose-420.jpg" "$W/q.jpg"
run_cli -q "$W/q.jpg"
expect_rc 0 "-q"
[ ! -s "$OUT" ] && [ ! -s "$ERR" ] || fail "-q" "printed something: $(cat "$OUT" "$ERR")"
[ -e "$W/result_lumaro/q.jpg" ] || fail "-q" "no result"
run_cli --version
[ "$(cat "$OUT")" = "lumaro-cli 1.06" ] || fail "--version" "$(cat "$OUT")"
run_cli --help
expect_rc 0 "--help"
grep -q -- "--keep-going" "$OUT" && grep -qF "処理し直します" "$OUT" || fail "--help" "usage text incomplete"

# ==== bad usage: exit 2, nothing written =======================================
W=$(fresh usage)
cp "$PICS/rose-420.jpg" "$W/u.jpg"
for args in "" "--bogus $W/u.jpg" "-j 0 $W/u.jpg" "-j x $W/u.jpg" "-j" "-o" \
            "--overwrite --backup $W/u.jpg" "-o $W --overwrite $W/u.jpg" \
            "--stdout $W/u.jpg $W/u.jpg" "--stdout -r $W/u.jpg" "--stdout"; do
  # shellcheck disable=SC2086
  run_cli $args
  expect_rc 2 "usage: '$args'"
  [ -s "$ERR" ] || fail "usage: '$args'" "no message"
done
[ ! -e "$W/result_lumaro" ] || fail "usage" "a bad command line wrote files"

# ==== --stdout: the one-file form ==============================================
W=$(fresh stdout)
cp "$PICS/plasma-restart.jpg" "$W/s.jpg"
"$CLI" --stdout "$W/s.jpg" >"$W/s.out"; rc=$?
[ "$rc" = 0 ] || fail "--stdout" "exit $rc"
run_cli "$W/s.jpg"
cmp -s "$W/s.out" "$W/result_lumaro/s.jpg" || fail "--stdout" "differs from the batch result"
"$CLI" --stdout --no-optimize "$W/s.jpg" | cmp -s - "$W/s.jpg" || fail "--stdout --no-optimize" "not the source bytes"
# A result no smaller than its source gives the source's bytes, read again
# from the file after its scan left memory (or from the pipe's copy).
"$CLI" --stdout "$W/s.out" | cmp -s - "$W/s.out" || fail "--stdout no smaller" "not the source bytes"
"$CLI" --stdout /dev/stdin <"$W/s.out" | cmp -s - "$W/s.out" || fail "--stdout no smaller, from a pipe" "not the source bytes"
"$CLI" --stdout "$ROOT/progressive.jpg" >"$W/p.out" 2>"$W/p.err"; rc=$?
[ "$rc" = 1 ] && [ ! -s "$W/p.out" ] && [ -s "$W/p.err" ] || fail "--stdout refused" "exit $rc, $(size_of "$W/p.out") bytes out"
# A source that is not a regular file is read instead of mapped: a pipe gives
# the same result; an empty file is refused.
"$CLI" --stdout /dev/stdin <"$W/s.jpg" | cmp -s - "$W/s.out" || fail "--stdout from a pipe" "differs from the file's result"
: >"$W/empty.jpg"
"$CLI" --stdout "$W/empty.jpg" >"$W/e.out" 2>"$W/e.err"; rc=$?
[ "$rc" = 1 ] && [ ! -s "$W/e.out" ] && [ -s "$W/e.err" ] || fail "--stdout empty file" "exit $rc"
# A result that cannot be written (a full disk) is a failure, with a message.
if [ -w /dev/full ]; then
  "$CLI" --stdout "$W/s.jpg" >/dev/full 2>"$W/f.err"; rc=$?
  [ "$rc" = 1 ] && [ -s "$W/f.err" ] || fail "--stdout to a full disk" "exit $rc"
fi

finish
