#!/bin/sh
# Makes the Windows zip with cpack and checks what it holds: natjoin.exe, the README, the
# manual as text and the license LICENSE as LICENSE.txt, both with CR LF line ends.
#
#   zip_test.sh CPACK BUILD_DIR VERSION LICENSE
#
# Exit status: 0 pass, 1 fail, 2 usage error.
set -eu
if [ $# -ne 4 ]; then
  echo "usage: zip_test.sh CPACK BUILD_DIR VERSION LICENSE" >&2
  exit 2
fi
cpack=$1 build=$2 version=$3 license=$4
fail() {
  echo "zip_test.sh: FAIL: $*" >&2
  exit 1
}
# crlf_only FILE: fails unless every line of FILE ends with CR LF.
crlf_only() {
  [ "$(grep -c "$(printf '\r')\$" "$1")" -eq "$(wc -l <"$1")" ] ||
    fail "$(basename "$1") has lines that do not end with CR LF"
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && "$cpack" -G ZIP -B "$work" >/dev/null) || fail "cpack -G ZIP failed"
zip=$work/natjoin-$version-win64.zip
[ -f "$zip" ] || fail "no $zip; cpack made: $(ls "$work")"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
top=$work/unpacked/natjoin-$version-win64
for file in natjoin.exe README.md natjoin.txt LICENSE.txt; do
  [ -s "$top/$file" ] || fail "the zip holds no $file: $(cd "$work/unpacked" && find . -type f)"
done
head -c 2 "$top/natjoin.exe" | grep -q MZ || fail "natjoin.exe is not a Windows executable"
grep -q 'natjoin - natural join' "$top/natjoin.txt" || fail "natjoin.txt is not the manual"
crlf_only "$top/natjoin.txt"
grep -q "$(printf '\b')" "$top/natjoin.txt" && fail "natjoin.txt holds overstrikes"
crlf_only "$top/LICENSE.txt"
tr -d '\r' <"$top/LICENSE.txt" | cmp -s - "$license" ||
  fail "LICENSE.txt is not $license with CR LF line ends"
echo "zip_test.sh: natjoin-$version-win64.zip holds natjoin.exe, README.md, natjoin.txt and" \
  "LICENSE.txt"
