#!/bin/sh
# Checks that a Windows program imports from exactly the DLLs named (letter
# case ignored): what it needs beside it on a machine with nothing but
# Windows.
#
# Usage: check_imports.sh OBJDUMP FILE DLL...
set -u
objdump=$1
file=$2
shift 2
got=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ' | sed 's/ $//')
want=$(printf '%s\n' "$@" | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ' | sed 's/ $//')
echo "$(basename "$file") imports from: $got"
if [ -n "$got" ] && [ "$got" = "$want" ]; then
  echo "ok   imports from $want only"
  exit 0
fi
echo "FAIL: imports from '$got', want '$want'"
exit 1
