#!/bin/sh
# Makes the Windows zip with cpack and checks what it holds: natjoin.exe, the README and the
# manual as text with CR LF line ends.
#
#   zip_test.sh CPACK BUILD_DIR VERSION
#
# Exit status: 0 pass, 1 fail, 2 usage error.
set -eu
if [ $# -ne 3 ]; then
  echo "usage: zip_test.sh CPACK BUILD_DIR VERSION" >&2
  exit 2
fi
cpack=$1 build=$2 version=$3
fail() {
  echo "zip_test.sh: FAIL: $*" >&2
  exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && "$cpack" -G ZIP -B "$work" >/dev/null) || fail "cpack -G ZIP failed"
zip=$work/natjoin-$version-win64.zip
[ -f "$zip" ] || fail "no $zip; cpack made: $(ls "$work")"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
top=$work/unpacked/natjoin-$version-win64
for file in natjoin.exe README.md natjoin.txt; do
  [ -s "$top/$file" ] || fail "the zip holds no $file: $(cd "$work/unpacked" && find . -type f)"
done
head -c 2 "$top/natjoin.exe" | grep -q MZ || fail "natjoin.exe is not a Windows executable"
grep -q 'natjoin - natural join' "$top/natjoin.txt" || fail "natjoin.txt is not the manual"
[ "$(grep -c "$(printf '\r')\$" "$top/natjoin.txt")" -eq "$(wc -l <"$top/natjoin.txt")" ] ||
  fail "natjoin.txt has lines that do not end with CR LF"
grep -q "$(printf '\b')" "$top/natjoin.txt" && fail "natjoin.txt holds overstrikes"
echo "zip_test.sh: natjoin-$version-win64.zip holds natjoin.exe, README.md and natjoin.txt"
