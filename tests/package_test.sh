#!/usr/bin/env bash
# Checks the Debian package that cpack makes of a build folder.
#
#   package_test.sh CPACK BUILD_DIR PAGE VERSION LICENSE
#
# Runs cpack -G DEB on BUILD_DIR's CPackConfig.cmake into a temporary folder
# and fails unless it makes natjoin_VERSION_ARCH.deb whose files are exactly
# usr/bin/natjoin (mode 755), usr/share/doc/natjoin/changelog.gz,
# usr/share/doc/natjoin/copyright and usr/share/man/man1/natjoin.1.gz (mode
# 644), all owned by root; the packaged binary is stripped, prints "natjoin
# VERSION" for --version; the page unpacks to PAGE byte for byte; the
# changelog is Debian's format and begins with VERSION; the copyright file is
# Debian's machine-readable format and holds LICENSE's holders and text; and
# neither gzip header holds a file name or a time. Where dpkg-shlibdeps is
# installed (dpkg-dev), the Depends field must be what it computes for the
# packaged binary. Then lintian must find no error and no warning in the
# package, and hardening-check must find the binary position-independent,
# with stack protection, read-only relocations and immediate binding.
#
# Exit status: 0 pass, 1 fail, 2 usage error, 77 skipped (dpkg-deb is
# missing; or lintian or hardening-check is, after every other check passed).
set -eu

fail() {
  echo "package_test.sh: FAIL: $*" >&2
  exit 1
}

# gzip_without_name_or_time FILE: fails if FILE's gzip header holds a file name
# or a time, which would make the same text give other bytes on another build.
gzip_without_name_or_time() {
  # Bytes 3 to 7 of a gzip header: the flags (08 when a file name follows) and
  # the modification time.
  header=$(od -An -tx1 -j3 -N5 "$1" | tr -d ' \n')
  [ "$header" = 0000000000 ] || fail "the gzip header of $1 holds a name or a time: $header"
}

if [ $# -ne 5 ]; then
  echo "usage: package_test.sh CPACK BUILD_DIR PAGE VERSION LICENSE" >&2
  exit 2
fi
cpack=$1 build=$2 page=$3 version=$4 license=$5

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
-rw-r--r-- root/root ./usr/share/doc/natjoin/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/natjoin/copyright
-rw-r--r-- root/root ./usr/share/man/man1/natjoin.1.gz"
[ "$files" = "$expected" ] || fail "the package holds
$files
instead of
$expected"

dpkg-deb -x "$deb" "$work/root"
shown=$("$work/root/usr/bin/natjoin" --version) || fail "the packaged natjoin fails to run"
[ "$shown" = "natjoin $version" ] || fail "the packaged natjoin --version prints: $shown"
# Stripped: no symbol table, no debugging information, no compilers' notes.
sections=$(readelf -S -W "$work/root/usr/bin/natjoin" |
  grep -Eo ' \.(symtab|debug_[a-z]+|comment) ' || true)
[ -z "$sections" ] || fail "the packaged natjoin is not stripped; it holds" $sections

gz=$work/root/usr/share/man/man1/natjoin.1.gz
gzip -dc "$gz" | cmp -s - "$page" || fail "the packaged page does not unpack to $page"
gzip_without_name_or_time "$gz"

doc=$work/root/usr/share/doc/natjoin
gzip_without_name_or_time "$doc/changelog.gz"
first=$(gzip -dc "$doc/changelog.gz" | head -n 1)
[ "$first" = "natjoin ($version) unstable; urgency=medium" ] ||
  fail "the changelog does not begin with version $version's entry: $first"
trailer='^ -- .+ <.+@.+>  [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} '
gzip -dc "$doc/changelog.gz" | grep -Eq "$trailer" ||
  fail "the changelog has no trailer line naming its maintainer and date"

copyright=$doc/copyright
format="Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
[ "$(head -n 1 "$copyright")" = "$format" ] ||
  fail "the copyright file is not in Debian's machine-readable format: $(head -n 1 "$copyright")"
holders=$(sed -n 's/^Copyright (c) //p' "$license")
grep -qxF "Copyright: $holders" "$copyright" || fail "the copyright file does not name $holders"
# The text of the license: the body of the last License paragraph, unindented,
# against LICENSE after its title and copyright line.
awk '/^License: Expat$/ { body = ""; on = 1; next }
     on && /^ / { body = body substr($0, 2) "\n"; next }
     { on = 0 }
     END { printf "%s", body }' "$copyright" | sed 's/^\.$//' >"$work/license"
tail -n +5 "$license" | cmp -s - "$work/license" ||
  fail "the copyright file's License: Expat does not hold the text of $license"

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

missing=
if command -v lintian >/dev/null 2>&1; then
  # lintian warns when it runs as root, which CI does; that line is no finding.
  lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1 ||
    fail "lintian finds errors or warnings in the package:
$(cat "$work/lintian.log")"
  sed '/running with root privileges/d; s/^/package_test.sh: lintian: /' "$work/lintian.log" >&2
else
  missing="$missing lintian"
fi
if command -v hardening-check >/dev/null 2>&1; then
  # Fortify and control-flow protection are reported, not required: see the
  # hardening notes in CMakeLists.txt.
  hardening-check --nofortify --nocfprotection "$work/root/usr/bin/natjoin" \
    >"$work/hardening.log" 2>&1 ||
    fail "the packaged natjoin is not hardened:
$(cat "$work/hardening.log")"
  sed 's/^/package_test.sh: hardening-check: /' "$work/hardening.log" >&2
else
  missing="$missing hardening-check"
fi
what="usr/bin/natjoin, the gzipped page, the changelog and the copyright file"
if [ -n "$missing" ]; then
  echo "package_test.sh: SKIPPED: $(basename "$deb") holds $what, but this is missing:$missing" \
    "(Debian: apt-get install lintian devscripts)" >&2
  exit 77
fi
echo "package_test.sh: $(basename "$deb") holds $what; lintian and hardening-check pass"
