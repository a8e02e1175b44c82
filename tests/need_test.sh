#!/usr/bin/env bash
# Checks tools/need against stand-ins for dpkg-query, apt-get, sudo and id,
# which log what they are asked to do: it installs only the missing packages,
# runs apt-get update only when something is missing, goes through sudo only
# for a user who is not root, and fails without installing when neither root
# nor sudo is there.
#
#   need_test.sh TOOLS_NEED
#
# Exit status: 0 pass, 1 fail, 2 usage error.
set -eu

if [ $# -ne 1 ]; then
  echo "usage: need_test.sh TOOLS_NEED" >&2
  exit 2
fi
need=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-ins. dpkg-query says "installed" for the packages in $INSTALLED.
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for package; do :; done
case " $INSTALLED " in *" $package "*) printf installed ;; *) exit 1 ;; esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get${DEBIAN_FRONTEND:+ ($DEBIAN_FRONTEND)} $*" >>"$LOG"
EOF
cat >"$work/bin/sudo" <<'EOF'
#!/bin/sh
printf 'sudo ' >>"$LOG"
exec "$@"
EOF
printf '#!/bin/sh\necho "$%s"\n' FAKE_UID >"$work/bin/id"
chmod +x "$work/bin/"*
ln -s "$(command -v env)" "$work/bin/env"

failures=0
# check NAME UID STUBS_LEFT_OUT INSTALLED ARGS STATUS LOG
check() {
  local name=$1 uid=$2 left_out=$3 installed=$4 args=$5 status=$6 expected=$7
  rm -rf "$work/path" && cp -a "$work/bin" "$work/path"
  for stub in $left_out; do rm "$work/path/$stub"; done
  : >"$work/log"
  local got=0
  # shellcheck disable=SC2086  # one word per package
  env -i PATH="$work/path" LOG="$work/log" FAKE_UID="$uid" INSTALLED="$installed" \
    /bin/sh "$need" $args >"$work/out" 2>&1 || got=$?
  if [ "$got" != "$status" ] || [ "$(cat "$work/log")" != "$expected" ]; then
    echo "need_test.sh: FAIL: $name: status $got (expected $status), apt-get log:" >&2
    cat "$work/log" "$work/out" >&2
    failures=$((failures + 1))
  fi
}

u="apt-get update -q"
i="apt-get (noninteractive) install -y -q"
check "nothing missing" 0 "" "a b" "a b" 0 ""
check "only the missing, as root" 0 "" "b" "a b c" 0 "$u
$i a c"
check "through sudo for a user" 1000 "" "" "a" 0 "sudo $u
sudo $i a"
check "neither root nor sudo" 1000 "sudo" "" "a" 1 ""
check "nothing missing needs no sudo" 1000 "sudo" "a" "a" 0 ""
check "no dpkg at all" 1000 "dpkg-query sudo" "" "a" 0 ""

[ "$failures" -eq 0 ] || exit 1
echo "need_test.sh: all cases pass"
