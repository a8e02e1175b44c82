#!/usr/bin/env bash
# Checks the Debian package that cpack makes of a build folder.
#
#   package_test.sh CPACK BUILD_DIR PAGE VERSION
#
# Runs cpack -G DEB on BUILD_DIR's CPackConfig.cmake into a temporary folder
# and fails unless it makes natjoin_VERSION_ARCH.deb whose files are exactly
# usr/bin/natjoin (mode 755) and usr/share/man/man1/natjoin.1.gz (mode 644),
# both owned by root; the packaged binary prints "natjoin VERSION" for
# --version; the page unpacks to PAGE byte for byte, and its gzip header holds
# no file name and no time. Where dpkg-shlibdeps is installed (dpkg-dev), the
# Depends field must be what it computes for the packaged binary.
#
# Exit status: 0 pass, 1 fail, 2 usage error, 77 skipped (dpkg-deb is missing).
set -eu

fail() {
  echo "package_test.sh: FAIL: $*" >&2
  exit 1
}

if [ $# -ne 4 ]; then
  echo "usage: package_test.sh CPACK BUILD_DIR PAGE VERSION" >&2
  exit 2
fi
cpack=$1 build=$2 page=$3 version=$4

if ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "package_test.sh: SKIPPED: dpkg-deb is missing (Debian: apt-get install dpkg)" >&2
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  fail "cpack failed: $(cat "$work/cpack.log")"
arch=$(dpkg --print-architecture)
deb=$work/natjoin_${version}_$arch.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(cd "$work" && ls -- *.deb 2>&1)"

# The files, directories left aside: mode, owner and path of each.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }')
expected="-rwxr-xr-x root/root ./usr/bin/natjoin
-rw-r--r-- root/root ./usr/share/man/man1/natjoin.1.gz"
[ "$files" = "$expected" ] || fail "the package holds
$files
instead of
$expected"

dpkg-deb -x "$deb" "$work/root"
shown=$("$work/root/usr/bin/natjoin" --version) || fail "the packaged natjoin fails to run"
[ "$shown" = "natjoin $version" ] || fail "the packaged natjoin --version prints: $shown"
gz=$work/root/usr/share/man/man1/natjoin.1.gz
gzip -dc "$gz" | cmp -s - "$page" || fail "the packaged page does not unpack to $page"
# Bytes 3 to 7 of a gzip header: the flags (08 when a file name follows) and
# the modification time.
header=$(od -An -tx1 -j3 -N5 "$gz" | tr -d ' \n')
[ "$header" = 0000000000 ] || fail "the page's gzip header holds a name or a time: $header"

depends=$(dpkg-deb -f "$deb" Depends)
if command -v dpkg-shlibdeps >/dev/null 2>&1; then
  mkdir -p "$work/shlibs/debian"
  printf 'Source: natjoin\n\nPackage: natjoin\nArchitecture: any\n' >"$work/shlibs/debian/control"
  computed=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$work/root/usr/bin/natjoin" 2>/dev/null)
  [ "$depends" = "${computed#shlibs:Depends=}" ] ||
    fail "Depends is \"$depends\", dpkg-shlibdeps computes \"${computed#shlibs:Depends=}\""
else
  echo "package_test.sh: dpkg-shlibdeps is missing (dpkg-dev); Depends left unchecked" >&2
fi
echo "package_test.sh: $(basename "$deb") holds usr/bin/natjoin and the gzipped page"
