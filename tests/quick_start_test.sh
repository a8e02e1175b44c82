#!/usr/bin/env bash
# Checks that the README's Quick start and CI agree: the section holds
# exactly two commands, CI runs the second one as written, and the second
# installs every package that the first does; and that CI runs the Windows
# section's command as written.
#
#   quick_start_test.sh README CI_SCRIPT
#
# Exit status: 0 pass, 1 fail, 2 usage error.
set -eu

fail() {
  echo "quick_start_test.sh: FAIL: $*" >&2
  exit 1
}

if [ $# -ne 2 ]; then
  echo "usage: quick_start_test.sh README CI_SCRIPT" >&2
  exit 2
fi
readme=$1 ci=$2

# The lines of the sh blocks between "## Quick start" and the next section.
commands=$(awk '/^## /{q = ($0 == "## Quick start"); next}
                q && /^```sh$/ {b = 1; next}
                q && /^```$/ {b = 0; next}
                q && b' "$readme")
[ "$(printf '%s\n' "$commands" | grep -c .)" -eq 2 ] ||
  fail "the Quick start should hold two commands, not:
$commands"
first=$(printf '%s\n' "$commands" | sed -n 1p)
second=$(printf '%s\n' "$commands" | sed -n 2p)
grep -qxF -- "$second" "$ci" || fail "$ci does not run the second command as written: $second"

first_packages=${first%% && *}
second_packages=" ${second%% && *} "
for package in ${first_packages#tools/need }; do
  case $second_packages in
    *" $package "*) ;;
    *) fail "the second command does not install $package, which the first does" ;;
  esac
done
# The Windows section starts with one command, which CI runs as written too.
windows=$(awk '/^## /{q = ($0 == "## Windows"); next}
               q && /^```sh$/ {b = 1; next}
               q && b && /^```$/ {exit}
               q && b' "$readme")
[ "$(printf '%s\n' "$windows" | grep -c .)" -eq 1 ] ||
  fail "the Windows section should start with one command, not:
$windows"
grep -qxF -- "$windows" "$ci" || fail "$ci does not run the Windows command as written: $windows"

echo "quick_start_test.sh: two commands, the second run by $ci as written, and the Windows one"
