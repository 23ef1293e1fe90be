#!/bin/bash
# Checks a 32-bit deliverable from outside: size below its limit, i386 GUI
# image with ASLR and DEP, and load-time imports from known DLLs only, which
# the loader never looks for beside the program. Any other DLL, a system one
# such as comctl32 or version included, an elevated program could pick up
# from its download folder.
# Usage: check_image.sh <exe> <size limit in bytes, the file must be below it>
set -u
export LC_ALL=C # objdump output is parsed; a Japanese locale would translate it
exe="$1"
limit="$2"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
failures=0

fail() {
    echo "FAIL: $exe: $*"
    failures=$((failures + 1))
}

[ -f "$exe" ] || { echo "FAIL: $exe: no such file"; exit 1; }
headers=$("$objdump" -p "$exe") || { echo "FAIL: $exe: objdump cannot read it"; exit 1; }

size=$(stat -c %s "$exe")
[ "$size" -lt "$limit" ] || fail "size $size is not below $limit"

grep -q 'file format pei-i386' <<<"$headers" || fail "not an i386 image"
grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI program"

characteristics=$(awk '/^DllCharacteristics/ { print $2; exit }' <<<"$headers")
[ -n "$characteristics" ] || fail "no DllCharacteristics"
value=$((16#${characteristics:-0}))
(( value & 0x40 )) || fail "DYNAMIC_BASE missing (DllCharacteristics $characteristics)"
(( value & 0x100 )) || fail "NX_COMPAT missing (DllCharacteristics $characteristics)"

known_dlls=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll msvcrt.dll ole32.dll oleaut32.dll ntdll.dll shlwapi.dll comdlg32.dll "
imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers")
[ -n "$imports" ] || fail "no imports found"
for dll in $imports; do
    case "$known_dlls" in
        *" $dll "*) ;;
        *) fail "imports $dll, which is not a known DLL" ;;
    esac
done

if [ "$failures" -eq 0 ]; then
    echo "ok: $exe: $size bytes (limit $limit), DllCharacteristics $characteristics, imports:" $imports
fi
exit $((failures > 0))
