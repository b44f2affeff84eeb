# Helpers of the command-line tests; the scripts set CLI first.
FAILURES=0

fail() {  # fail LABEL TEXT
  echo "FAIL [$1] $2"
  FAILURES=$((FAILURES + 1))
}

finish() {
  if [ "$FAILURES" -gt 0 ]; then
    echo "$FAILURES check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}

require_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null || { echo "missing tool: $t"; exit 1; }
  done
}

size_of() { stat -c %s "$1"; }
mtime_ns() { stat -c %y "$1" | cut -c1-29; }

# run_cli ARGS...: runs lumaro-cli; standard output in $OUT, standard error in
# $ERR, exit status in $RC.
OUT="$(mktemp)"; ERR="$(mktemp)"
RC=0
run_cli() {
  RC=0
  "$CLI" "$@" >"$OUT" 2>"$ERR" </dev/null || RC=$?
}

run_cli_in() {  # run_cli_in DIR ARGS...: the same, in folder DIR
  local dir="$1"; shift
  RC=0
  (cd "$dir" && exec "$CLI" "$@") >"$OUT" 2>"$ERR" </dev/null || RC=$?
}

expect_rc() {  # expect_rc CODE LABEL
  [ "$RC" = "$1" ] || fail "$2" "exit $RC, expected $1; stderr: $(head -n 3 "$ERR")"
}

# check_result SRC RESULT LABEL: the result exists, is no larger than the
# source, and decodes to exactly the source's pixels.
check_result() {
  local src="$1" res="$2" label="$3"
  if [ ! -f "$res" ]; then fail "$label" "no result at $res"; return; fi
  [ "$(size_of "$res")" -le "$(size_of "$src")" ] || fail "$label" "result larger than its source"
  local a b
  a="$(djpeg -pnm "$src" 2>/dev/null | md5sum)"
  b="$(djpeg -pnm "$res" 2>/dev/null | md5sum)"
  [ "$a" = "$b" ] || fail "$label" "$(basename "$res") decodes to other pixels than its source"
}

# app1_count FILE: the number of APP1 segments before the first scan.
app1_count() {
  python3 - "$1" <<'EOF'
import sys
d = open(sys.argv[1], "rb").read()
i, n = 2, 0
while i + 4 <= len(d) and d[i] == 0xFF:
    m = d[i + 1]
    if m == 0xDA or m == 0xD9:
        break
    if m == 0xE1:
        n += 1
    i += 2 + (d[i + 2] << 8 | d[i + 3])
print(n)
EOF
}
