#!/bin/sh
# Checks that a Windows executable imports only Windows' own DLLs: none of mingw-w64's runtime
# (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll), which a Windows machine lacks.
#
#   imports_test.sh OBJDUMP EXE
#
# Exit status: 0 pass, 1 fail, 2 usage error.
set -eu
if [ $# -ne 2 ]; then
  echo "usage: imports_test.sh OBJDUMP EXE" >&2
  exit 2
fi
dlls=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p')
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
[ $status -eq 0 ] && echo "imports_test.sh:" $dlls
exit $status
