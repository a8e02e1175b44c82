#!/usr/bin/env bash
# Checks the manual page of natjoin.
#
#   man_test.sh PAGE [NATJOIN]
#
# PAGE is rendered with man(1) at 80 columns with every groff warning on. The
# check fails when the rendering writes anything to standard error, or lacks
# one of the sections NAME, SYNOPSIS, EXIT STATUS and DIAGNOSTICS, or one of
# the five messages in DIAGNOSTICS.
#
# Given the natjoin binary as NATJOIN, it also runs the page's example: the
# .EX blocks below the comments "man_test.sh: example input" and
# "man_test.sh: example output". It fails unless the binary, run on the
# input block, exits with status 0, prints nothing and writes the file that
# the output block lists, and unless the rendered page shows both blocks
# byte for byte.
#
# Exit status: 0 pass, 1 fail, 2 usage error, 77 skipped (man is missing).
set -u

fail() {
  echo "man_test.sh: FAIL: $*" >&2
  exit 1
}

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: man_test.sh PAGE [NATJOIN]" >&2
  exit 2
fi
page=$1
natjoin=${2:-}
[ -f "$page" ] && [ -r "$page" ] || fail "cannot read the page $page"

if ! command -v man >/dev/null 2>&1; then
  echo "man_test.sh: SKIPPED: the man command is missing; install the man-db package" \
    "(Debian: apt-get install man-db)" >&2
  exit 77
fi
if ! command -v nroff >/dev/null 2>&1; then
  echo "man_test.sh: SKIPPED: nroff is missing, which man needs to render a page; install" \
    "the groff-base package (Debian: apt-get install groff-base)" >&2
  exit 77
fi

work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT

# Render in UTF-8, as a reader's terminal mostly does, where the system has
# the locale: that is where stray typographic characters would show.
if locale -a 2>/dev/null | grep -qix 'c\.utf-\?8'; then
  export LC_ALL=C.UTF-8
fi
unset MAN_KEEP_FORMATTING MANPAGER PAGER
render() {
  MANWIDTH=80 MANPAGER=cat man -l --warnings=w "$1" >"$2" 2>"$3"
}

# The check below is only worth something if warnings reach standard error.
printf '.TH BROKEN 1\n.SH NAME\nbroken \\- a page with an unknown macro\n.XQ\n' >"$work/broken.1"
render "$work/broken.1" "$work/broken.txt" "$work/broken.err"
[ -s "$work/broken.err" ] ||
  fail "man reports no warning for an unknown macro, so warnings in $page would go unseen"

render "$page" "$work/page.txt" "$work/page.err"
status=$?
if [ -s "$work/page.err" ]; then
  cat "$work/page.err" >&2
  fail "rendering $page wrote the warnings above to standard error"
fi
[ "$status" -eq 0 ] || fail "man exited with status $status on $page"
[ -s "$work/page.txt" ] || fail "rendering $page gave no text"

for section in NAME SYNOPSIS "EXIT STATUS" DIAGNOSTICS; do
  grep -qx -- "$section" "$work/page.txt" || fail "the rendering of $page has no $section section"
done

# The messages must stand in DIAGNOSTICS itself, each unbroken on one line.
diagnostics=$(sed -n '/^DIAGNOSTICS$/,/^[A-Z]/{/^DIAGNOSTICS$/d;/^[A-Z]/d;p;}' "$work/page.txt")
for message in "Nem sikerult megnyitni a file(oka)t!" "Hiba a joinban!" \
  "Hiba a tablak feldolgozasa kozben!" "Oszlopokban deklaracios kulonbseg!" \
  "Hiba a tablak osszekapcsolasakor!"; do
  grep -qF -- "$message" <<<"$diagnostics" ||
    fail "DIAGNOSTICS in $page does not show the message \"$message\""
done

# Example lines must spell an apostrophe \(aq and a hyphen \-: a bare ' or -
# is rendered as a typographic quote or hyphen by many groff setups (not by
# Debian's, which maps them back), and the example would then be wrong to
# the byte.
bare=$(awk '$0 == ".EX" { in_example = 1; next }
  $0 == ".EE" { in_example = 0; next }
  in_example && /\047|(^|[^\\])-/ { print FILENAME ":" FNR ": " $0 }' "$page")
[ -z "$bare" ] || fail "example lines with a bare ' or - (write \\(aq and \\-):"$'\n'"$bare"

[ -n "$natjoin" ] || exit 0
[ -x "$natjoin" ] || fail "$natjoin is not an executable"

# Prints the roff lines of the .EX block below the comment that starts with
# "man_test.sh: WHAT" as the text they stand for. Escapes other than \e,
# \(aq, \(dq, \- and \& are refused rather than guessed.
example() {
  local what=$1 text
  text=$(awk -v mark=".\\\\\" man_test.sh: $what" '
    index($0, mark) == 1 { found = 1; next }
    found == 1 && $0 == ".EX" { found = 2; next }
    found == 2 && $0 == ".EE" { exit }
    found == 2 { print }
  ' "$page" | sed -e 's/\\e/\x01/g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' -e 's/\\-/-/g' \
    -e 's/\\&//g')
  [ -n "$text" ] || fail "$page has no .EX block below the comment \"man_test.sh: $what\""
  ! grep -q '\\' <<<"$text" || fail "the $what of $page uses an escape this test cannot read"
  printf '%s\n' "$text" | tr '\001' '\\'
}

# Succeeds when the rendered page shows the lines of the file $1 as one block,
# each line as it is but for the indentation.
shown() {
  local -a page_lines wanted
  mapfile -t page_lines < <(sed 's/^ *//' "$work/page.txt")
  mapfile -t wanted <"$1"
  local i j
  for ((i = 0; i + ${#wanted[@]} <= ${#page_lines[@]}; i++)); do
    for ((j = 0; j < ${#wanted[@]}; j++)); do
      [ "${page_lines[i + j]}" == "${wanted[j]}" ] || continue 2
    done
    return 0
  done
  return 1
}

# The input block is the file itself; the output block is the command lines
# ("$ ...") and then the output file as grep -n '' lists it, which keeps its
# empty lines in a row apart in man's display.
example "example input" >"$work/input.txt" || exit 1
example "example output" >"$work/output_block.txt" || exit 1
sed -n '/^\$ /!p' "$work/output_block.txt" >"$work/expected.txt"

"$natjoin" "$work/input.txt" "$work/output.txt" >"$work/stdout.txt" 2>"$work/stderr.txt"
status=$?
[ "$status" -eq 0 ] || fail "$natjoin exits with status $status on the example input of $page"
[ ! -s "$work/stdout.txt" ] || fail "$natjoin prints $(cat "$work/stdout.txt") on the example input"
grep -n '' "$work/output.txt" >"$work/listed.txt"
if ! cmp -s "$work/expected.txt" "$work/listed.txt"; then
  diff -u "$work/expected.txt" "$work/listed.txt" >&2
  fail "the example output of $page differs from what $natjoin writes (diff: page, binary)"
fi

shown "$work/input.txt" || fail "the rendering of $page does not show the example input as it is"
shown "$work/output_block.txt" ||
  fail "the rendering of $page does not show the example output as it is"
