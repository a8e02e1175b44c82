#!/bin/sh
# Checks that a Windows executable imports only Windows' own DLLs: none of mingw-w64's runtime
# (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll), which a Windows machine lacks.
# Also that it asks Windows for its hardening: a randomised base (DYNAMIC_BASE) anywhere in the
# 64-bit address space (HIGH_ENTROPY_VA), and data that cannot run (NX_COMPAT).
#
#   imports_test.sh OBJDUMP EXE
#
# Exit status: 0 pass, 1 fail, 2 usage error.
set -eu
if [ $# -ne 2 ]; then
  echo "usage: imports_test.sh OBJDUMP EXE" >&2
  exit 2
fi
headers=$("$1" -p "$2")
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || { echo "imports_test.sh: FAIL: no DLL imports found in $2" >&2; exit 1; }
status=0
for dll in $dlls; do
  case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | user32.dll | advapi32.dll | \
      shell32.dll | ntdll.dll | ws2_32.dll) ;;
    *)
      echo "imports_test.sh: FAIL: $2 imports $dll, which is not one of Windows' own" >&2
      status=1
      ;;
  esac
done
# objdump lists the set DllCharacteristics bits one name a line, after the field's value.
characteristics=$(printf '%s\n' "$headers" |
  awk '/^DllCharacteristics/ { on = 1; next } on && /^[[:space:]]+[A-Z_]+$/ { print $1; next }
       { on = 0 }')
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  printf '%s\n' "$characteristics" | grep -qx "$flag" || {
    echo "imports_test.sh: FAIL: $2 lacks $flag; its DllCharacteristics:" $characteristics >&2
    status=1
  }
done
[ $status -eq 0 ] && echo "imports_test.sh:" $dlls";" $characteristics
exit $status
