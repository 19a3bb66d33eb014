#!/usr/bin/env bash
# Checks a built Windows DLL statically: its export table is exactly the
# hooks' (names and ordinals) under the DLL's name umpd.dll, it imports only system DLLs and not
# winspool.drv (the spooler functions are bound at run time), it is
# stripped, and no instruction reads or writes a 32-byte (ymm) register at
# a stack address (MinGW-w64's GCC does not align the stack to 32 bytes).
# These are fixed interfaces of the DLL: docs/design.md lists them.
#   check-dll.sh DLL x86_64|i686
set -euo pipefail
dll=$1 arch=$2
objdump=${arch}-w64-mingw32-objdump
table=$("$objdump" -p "$dll")

want_exports='1 _CIPBoxProc@16
2 _CIUMBoxProc@16
3 _CSPBoxProc@16
4 DrvSplAbort
5 DrvSplClose
6 DrvSplEndDoc
7 DrvSplStartDoc
8 DrvSplWritePrinter'
# objdump prints the name table's entries as "[ordinal - base] name".
base=$(awk '/^Ordinal Base/ { print $3 }' <<<"$table")
got_exports=$(awk -v base="$base" '
  /\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && NF == 0 { on = 0 }
  on { gsub(/[][]/, " "); print $1 + base, $2 }' <<<"$table" | sort -n)
if [ "$got_exports" != "$want_exports" ]; then
  echo "FAIL $dll: export table is"; echo "$got_exports"; echo "expected"; echo "$want_exports"; exit 1
fi

# The name in the export directory: a driver's set-up names the DLL umpd.dll.
name=$(awk '/^Name[ \t]/ { print $3; exit }' <<<"$table")
if [ "$name" != umpd.dll ]; then
  echo "FAIL $dll: the export directory names the DLL '$name', not umpd.dll"; exit 1
fi

allowed='^(KERNEL32\.dll|msvcrt\.dll|USER32\.dll|WINSPOOL\.DRV|WS2_32\.dll|WSOCK32\.dll|ADVAPI32\.dll)$'
imports=$(awk '/DLL Name:/ { print $3 }' <<<"$table")
bad=$(grep -viE "$allowed" <<<"$imports" || true)
if [ -n "$bad" ]; then
  echo "FAIL $dll: imports non-system DLLs: $bad"; exit 1
fi

if grep -qi '^WINSPOOL\.DRV$' <<<"$imports"; then
  echo "FAIL $dll: imports winspool.drv; the spooler functions must be bound at run time"; exit 1
fi
if "$objdump" -h "$dll" | grep -q '\.debug' || ! "$objdump" -t "$dll" 2>&1 | grep -q 'no symbols'; then
  echo "FAIL $dll: not stripped"; exit 1
fi

# AT&T syntax: a ymm operand beside a memory operand based on the stack or
# frame pointer, such as "vmovdqa %ymm0,0x20(%rsp)" or "(%ebp,%eax,1)".
stack_ymm=$("$objdump" -d "$dll" | grep -E '%ymm[0-9]+' | grep -E '\(%(rsp|rbp|esp|ebp)[,)]' || true)
if [ -n "$stack_ymm" ]; then
  echo "FAIL $dll: a ymm register is read or written at a stack address, which MinGW-w64 does not align to 32 bytes;"
  echo "keep the AVX2 scans in umpd/src/umpd_search.cpp free of calls and spills:"
  head -20 <<<"$stack_ymm"; exit 1
fi

case $arch in
  x86_64) magic='PE32+' ;;
  i686) magic='PE32 ' ;;
esac
if ! file "$dll" | grep -q "$magic"; then
  echo "FAIL $dll: not a $arch image: $(file "$dll")"; exit 1
fi
echo "ok $dll ($arch): umpd.dll, exports the dialog procedures at ordinals 1-3 and the hooks at 4-8; stripped; no stack-relative ymm access; imports $(tr '\n' ' ' <<<"$imports")"
