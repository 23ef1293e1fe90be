#!/bin/bash
# Checks the 32-bit vector code from outside, where it cannot run: 32-bit
# Windows aligns the stack to 4 bytes only, so no aligned vector move may
# remain (the assembler turns them into unaligned ones), and every function
# that keeps vector values in stack slots, which other SSE instructions then
# read in place, must realign its stack first. And the program must hold no
# vector instruction outside these objects, so that it runs without SSE2.
# Usage: check_vector_stack.sh <exe> <object file>...
set -u
export LC_ALL=C
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
failures=0
exe=$1
shift
vector='%[xy]mm[0-9]'
inExe=$("$objdump" -d "$exe" | grep -cE "$vector")
inObjects=0
for object in "$@"; do
    inObjects=$((inObjects + $("$objdump" -d "$object" | grep -cE "$vector")))
done
if [ "$inExe" -gt "$inObjects" ]; then
    echo "FAIL: $exe: $inExe vector instructions, only $inObjects of them in the vector code"
    failures=$((failures + 1))
fi
for object in "$@"; do
    listing=$("$objdump" -d --no-show-raw-insn "$object") || { echo "FAIL: $object: objdump"; exit 1; }
    aligned=$(grep -E '\s(v?movdqa|v?movaps|v?movapd)\s' <<<"$listing")
    if [ -n "$aligned" ]; then
        echo "FAIL: $object: aligned vector moves:"
        echo "$aligned" | head -5
        failures=$((failures + 1))
    fi
    # Per function: stack slots holding vectors, and a realignment of esp.
    report=$(awk '
        /^[0-9a-f]+ <.*>:$/ { if (name != "" && slots && !realigned) print name; name = $2; slots = 0; realigned = 0 }
        /%[xy]mm[0-9]/ && /\((%esp|%ebp)/ { slots = 1 }
        /and +\$0xff+[ef]0,%esp/ { realigned = 1 }
        END { if (name != "" && slots && !realigned) print name }' <<<"$listing")
    if [ -n "$report" ]; then
        echo "FAIL: $object: vector stack slots without realignment in" $report
        failures=$((failures + 1))
    fi
    functions=$(grep -cE '^[0-9a-f]+ <.*>:$' <<<"$listing")
    [ "$failures" -eq 0 ] && echo "ok: $object: $functions functions"
done
[ "$failures" -eq 0 ] && echo "ok: $exe: all $inExe vector instructions in the vector code"
exit $((failures > 0))
