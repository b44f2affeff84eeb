# Shared checks of the engine's oracle tests: lumaro-cli's result is compared
# with what djpeg, jpeginfo and the segment walker say about source and result.
# Sourced by the test scripts; they set CLI before calling anything here.

LIB_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
FAILURES=0
REFUSALS=0
SUM_BEFORE=0   # over accepted files: source bytes and result bytes
SUM_AFTER=0

fail() {  # fail FILE REASON...
  local file="$1"; shift
  echo "FAIL $file: $*"
  FAILURES=$((FAILURES + 1))
}

require_tools() {
  local t missing=()
  for t in "$@"; do command -v "$t" >/dev/null || missing+=("$t"); done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "missing tools: ${missing[*]} (scripts/deps.sh test installs them)"
    exit 1
  fi
}

size_of() { stat -c %s "$1"; }

segments() { perl "$LIB_DIR/jpeg-segments.pl" "$1"; }

# The verdict of `jpeginfo -c`: "OK", or "WARNING ..." / "ERROR ..." with its text.
jpeginfo_verdict() {
  { jpeginfo -c "$1" 2>&1 || true; } | sed -nE 's/^.* [0-9]+ +(OK|WARNING|ERROR)/\1/p' | head -n 1 | sed -E 's/ +$//'
}

# run_cli OUT ERR ARGS...: runs lumaro-cli, returns its exit status.
run_cli() {
  local out="$1" err="$2"; shift 2
  local rc=0
  "$CLI" --stdout "$@" >"$out" 2>"$err" || rc=$?
  return $rc
}

# check_same_image SRC OUT LABEL: OUT decodes without a single warning to the
# same pixels as SRC, passes jpeginfo -c as well as SRC does, and is no larger.
check_same_image() {
  local src="$1" out="$2" label="$3" work
  work="$(mktemp -d "$TMP_ROOT/img.XXXXXX")"
  local before after
  before=$(size_of "$src"); after=$(size_of "$out")
  [ "$after" -le "$before" ] || fail "$label" "result is larger than the source ($after > $before bytes)"
  if ! djpeg -pnm -outfile "$work/out.pnm" "$out" 2>"$work/out.err"; then
    fail "$label" "djpeg cannot decode the result: $(head -n 1 "$work/out.err")"
  elif [ -s "$work/out.err" ]; then
    fail "$label" "djpeg warns on the result: $(head -n 1 "$work/out.err")"
  else
    djpeg -pnm -outfile "$work/src.pnm" "$src" 2>/dev/null || true
    cmp -s "$work/src.pnm" "$work/out.pnm" || fail "$label" "decoded pixels differ from the source's"
  fi
  local vs vo
  vs="$(jpeginfo_verdict "$src")"; vo="$(jpeginfo_verdict "$out")"
  if [ "$vs" = OK ]; then
    [ "$vo" = OK ] || fail "$label" "jpeginfo -c: ${vo:-no verdict}"
  else
    # jpeginfo cannot check some valid files (CMYK): the result must fare the same.
    [ "$vo" = "$vs" ] || fail "$label" "jpeginfo -c says '${vo}' where the source gives '${vs}'"
  fi
  rm -rf "$work"
}

# The header structure that must survive optimisation: every segment but the
# Huffman tables, in order and with the same lengths (APP1 left out with STRIP=1).
kept_structure() {  # kept_structure FILE STRIP
  segments "$1" | grep -vE '^(FFC4 |DHT |SCAN |TRAIL |FFD9)' |
    { if [ "$2" = 1 ]; then grep -v '^FFE1 '; else cat; fi; } || true
}

# check_optimised_layout SRC OUT LABEL STRIP: the re-encoded file keeps every
# other segment, writes one table per DHT segment (only tables the source
# defined), keeps the restart markers renumbered from RST0 and ends at EOI.
check_optimised_layout() {
  local src="$1" out="$2" label="$3" strip="$4"
  local so ss
  if ! so="$(segments "$out")"; then fail "$label" "result structure: $(echo "$so" | tail -n 1)"; return; fi
  ss="$(segments "$src" || true)"
  cmp -s "$src" "$out" && return 0   # the source was not improved on and came back unchanged
  if [ "$(kept_structure "$src" "$strip")" != "$(kept_structure "$out" "$strip")" ]; then
    fail "$label" "header segments differ: $(diff <(kept_structure "$src" "$strip") <(kept_structure "$out" "$strip") | grep '^[<>]' | head -n 3 | tr '\n' ' ')"
  fi
  local prev="" line tables=0
  while IFS= read -r line; do
    case "$line" in
      "FFC4 "*) [ "$prev" != "FFC4" ] || fail "$label" "a DHT segment without a table"; prev=FFC4 ;;
      "DHT "*)
        [ "$prev" = FFC4 ] || fail "$label" "a DHT segment holds more than one table"
        prev=DHT; tables=$((tables + 1))
        local ct="${line#DHT }"; ct="${ct% *}"
        grep -q "^DHT $ct " <<<"$ss" || fail "$label" "table $ct is not defined by the source" ;;
      *) prev="" ;;
    esac
  done <<<"$so"
  [ "$tables" -gt 0 ] || fail "$label" "no Huffman table in the result"
  [ "$(grep -c '^FFD9$' <<<"$so")" = 1 ] && [ "$(tail -n 1 <<<"$so")" = FFD9 ] ||
    fail "$label" "result does not end with EOI right after the scan"
  local rs ro
  rs="$(sed -nE 's/^SCAN [0-9]+ ([0-9]+)$/\1/p' <<<"$ss" | head -n 1)"
  ro="$(sed -nE 's/^SCAN [0-9]+ ([0-9]+)$/\1/p' <<<"$so" | head -n 1)"
  [ "$rs" = "$ro" ] || fail "$label" "restart markers: $ro in the result, $rs in the source"
  if grep -q '^RSTCYCLE no' <<<"$so"; then fail "$label" "restart markers are not numbered RST0, RST1, ..."; fi
}

# check_refused LABEL EXPECTED_FRAGMENT ARGS...: lumaro-cli must exit 1 with a
# message (holding the fragment, if one is given) and write nothing.
check_refused() {
  local label="$1" fragment="$2"; shift 2
  local out="$TMP_ROOT/refused.out" err="$TMP_ROOT/refused.err" rc=0
  REFUSALS=$((REFUSALS + 1))
  run_cli "$out" "$err" "$@" || rc=$?
  if [ "$rc" != 1 ]; then fail "$label" "expected refusal (exit 1), got exit $rc"; return; fi
  [ ! -s "$out" ] || fail "$label" "refused, but wrote $(size_of "$out") bytes to standard output"
  [ -s "$err" ] || fail "$label" "refused without a message"
  if [ -n "$fragment" ] && ! grep -qF -- "$fragment" "$err"; then
    fail "$label" "message '$(head -n 1 "$err")' lacks '$fragment'"
  fi
}

# check_sound SRC LABEL: for files where refusing and accepting are both fair,
# the outcome must be clean: exit 0 with a faithful result, or exit 1 with a
# message and nothing written (never a crash, never a damaged file).
check_sound() {
  local src="$1" label="$2" out="$TMP_ROOT/sound.out" err="$TMP_ROOT/sound.err" rc=0
  run_cli "$out" "$err" "$src" || rc=$?
  case "$rc" in
    0) check_same_image "$src" "$out" "$label"; echo "     $label: accepted" ;;
    1) [ ! -s "$out" ] || fail "$label" "refused, but wrote $(size_of "$out") bytes to standard output"
       [ -s "$err" ] || fail "$label" "refused without a message"
       echo "     $label: refused ($(sed "s|^$src: ||" "$err" | head -n 1))" ;;
    *) fail "$label" "exit $rc: $(head -n 1 "$err")" ;;
  esac
}

# check_accepted SRC LABEL: the full set of checks on an accepted file.
#  - default options: same pixels, no larger, valid, layout kept;
#  - the result run through again comes back byte for byte (its tables are optimal);
#  - --no-optimize: the source byte for byte;
#  - --no-optimize --strip-exif: the source without its APP1 segments, byte for byte;
#  - --strip-exif: no APP1 left, same pixels.
check_accepted() {
  local src="$1" label="$2"
  local w="$TMP_ROOT/acc" rc=0
  rm -rf "$w"; mkdir -p "$w"
  run_cli "$w/opt.jpg" "$w/opt.err" "$src" || rc=$?
  if [ "$rc" != 0 ]; then fail "$label" "refused (exit $rc): $(head -n 1 "$w/opt.err")"; return; fi
  [ -s "$w/opt.jpg" ] || { fail "$label" "exit 0 but nothing written"; return; }
  SUM_BEFORE=$((SUM_BEFORE + $(size_of "$src"))); SUM_AFTER=$((SUM_AFTER + $(size_of "$w/opt.jpg")))
  check_same_image "$src" "$w/opt.jpg" "$label"
  check_optimised_layout "$src" "$w/opt.jpg" "$label" 0

  rc=0; run_cli "$w/again.jpg" "$w/again.err" "$w/opt.jpg" || rc=$?
  if [ "$rc" != 0 ]; then fail "$label" "its own result is refused: $(head -n 1 "$w/again.err")"
  elif ! cmp -s "$w/opt.jpg" "$w/again.jpg"; then
    fail "$label" "a second run changes the result ($(size_of "$w/opt.jpg") -> $(size_of "$w/again.jpg") bytes)"
  fi

  rc=0; run_cli "$w/copy.jpg" "$w/copy.err" --no-optimize "$src" || rc=$?
  if [ "$rc" != 0 ]; then fail "$label" "--no-optimize refused: $(head -n 1 "$w/copy.err")"
  elif ! cmp -s "$src" "$w/copy.jpg"; then fail "$label" "--no-optimize does not give the source back"
  fi

  perl "$LIB_DIR/jpeg-edit.pl" drop "$src" "$w/noapp1.jpg" FFE1
  rc=0; run_cli "$w/copystrip.jpg" "$w/copystrip.err" --no-optimize --strip-exif "$src" || rc=$?
  if [ "$rc" != 0 ]; then fail "$label" "--no-optimize --strip-exif refused: $(head -n 1 "$w/copystrip.err")"
  elif ! cmp -s "$w/noapp1.jpg" "$w/copystrip.jpg"; then
    fail "$label" "--no-optimize --strip-exif is not the source less its APP1 segments"
  fi

  rc=0; run_cli "$w/strip.jpg" "$w/strip.err" --strip-exif "$src" || rc=$?
  if [ "$rc" != 0 ]; then fail "$label" "--strip-exif refused: $(head -n 1 "$w/strip.err")"; return; fi
  if segments "$w/strip.jpg" | grep -q '^FFE1 '; then fail "$label" "--strip-exif left an APP1 segment"; fi
  check_same_image "$src" "$w/strip.jpg" "$label (--strip-exif)"
  check_optimised_layout "$src" "$w/strip.jpg" "$label (--strip-exif)" 1
}
