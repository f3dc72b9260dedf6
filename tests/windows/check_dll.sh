#!/bin/sh
# Checks the built TarvaneLink.dll from its PE tables, as objdump reads them:
# the export table (the module's name, the five names at ordinals 100..104,
# nothing else), the imports (KERNEL32, WININET and msvcrt only; of WinINet
# exactly the seven calls the exchange makes), one resource (the version
# resource, language 1033), and nothing that runs at load: the entry point is
# the module's own, no TLS directory, and no object carries constructors,
# destructors or exception tables.
#
# Usage: check_dll.sh OBJDUMP NM DLL OBJECT...
set -u
objdump=$1
nm=$2
dll=$3
shift 3
failed=0
fail() { echo "FAIL: $*"; failed=1; }
ok() { echo "ok   $*"; }

tables=$("$objdump" -p "$dll") || { echo "FAIL: $objdump -p $dll"; exit 1; }

# --- exports ----------------------------------------------------------------
name=$(printf '%s\n' "$tables" | sed -n 's/^Name[[:space:]]*[0-9a-f]* \(.*\)$/\1/p')
base=$(printf '%s\n' "$tables" | sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\)$/\1/p')
# "[   k] name" pairs of the name table; ordinal = base + k
exports=$(printf '%s\n' "$tables" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\] \(.*\)$/\1 \2/p' |
  awk -v base="${base:-0}" '{ printf "%s@%d ", $2, base + $1 }')
addresses=$(printf '%s\n' "$tables" | grep -c '+base\[')
echo "export table: name $name, ordinal base $base, $addresses addresses"
echo "exports: $exports"
want_exports="MivaRegisterLibrary@104 miva_commerce_cleanup@102 miva_commerce_error@103 miva_commerce_init@100 miva_commerce_loop@101 "
[ "$name" = "TarvaneLink.dll" ] && ok "export table names the module TarvaneLink.dll" ||
  fail "export table names the module '$name'"
[ "$exports" = "$want_exports" ] && [ "$addresses" = 5 ] &&
  ok "exactly the five exports by name, at ordinals 100 to 104" ||
  fail "exports are '$exports' with $addresses addresses, want '$want_exports'"

# --- imports ----------------------------------------------------------------
# "DLL: function" lines of the import tables
imports=$(printf '%s\n' "$tables" |
  sed -n '/^The Import Tables/,/^There is an export table/p' |
  awk '/DLL Name:/ { dll = $3; next }
       dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print dll ": " $3 }')
dlls=$(printf '%s\n' "$tables" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
echo "imports:"
printf '%s\n' "$imports" | sed 's/^/  /'
[ "$dlls" = "kernel32.dll msvcrt.dll wininet.dll " ] &&
  ok "imports from KERNEL32.dll, WININET.dll and msvcrt.dll only" ||
  fail "imports from: $dlls"
wininet=$(printf '%s\n' "$imports" | grep -i '^wininet.dll: ' | sed 's/^[^ ]* //' | sort | tr '\n' ' ')
want_wininet="HttpOpenRequestA HttpSendRequestA InternetCloseHandle InternetConnectA InternetOpenA InternetReadFile InternetSetOptionA "
[ "$wininet" = "$want_wininet" ] && ok "of WinINet exactly the seven calls of the exchange" ||
  fail "WinINet imports are '$wininet'"
for call in GetProcAddress GetLastError; do
  printf '%s\n' "$imports" | grep -qi "^kernel32.dll: $call\$" && ok "imports $call from KERNEL32" ||
    fail "$call is not imported from KERNEL32"
done

# --- resources ----------------------------------------------------------------
# The resource directory as three levels: type, name, language.
resources=$(printf '%s\n' "$tables" | sed -n '/^The .rsrc Resource Directory section:/,/Resources start at offset/p' |
  sed -n 's/^[0-9a-f]* *Entry: \(.*\), Value: .*/\1/p' | tr '\n' '|')
echo "resources: $resources"
[ "$resources" = "ID: 0x000010|ID: 0x000001|ID: 0x000409|" ] &&
  ok "one resource: type 16 (version), name 1, language 0x409" ||
  fail "resource directory is '$resources'"

# --- nothing at load ----------------------------------------------------------
entry=$(printf '%s\n' "$tables" | sed -n 's/^AddressOfEntryPoint[[:space:]]*//p')
image=$(printf '%s\n' "$tables" | sed -n 's/^ImageBase[[:space:]]*//p')
entry_symbol=$("$nm" "$dll" | awk -v want="$(printf '%08x' $((0x$image + 0x$entry)))" '$1 == want && $2 == "T" { print $3 }')
[ "$entry_symbol" = "_tarvane_dll_entry@12" ] && ok "the entry point is the module's own, tarvane_dll_entry" ||
  fail "the entry point at $entry is '$entry_symbol'"
tls=$(printf '%s\n' "$tables" | sed -n 's/^Entry 9 \([0-9a-f]*\) \([0-9a-f]*\) Thread Storage Directory.*/\1 \2/p')
[ "$tls" = "00000000 00000000" ] && ok "no TLS directory (no TLS callbacks)" || fail "TLS directory: $tls"

# Section names that mean code at load or unload, or exception handling.
load_sections='^\.(ctors|dtors|init_array|fini_array|tls|CRT\$|gcc_except_table)'
objects_failed=0
for object in "$@"; do
  [ -f "$object" ] || { fail "no object file $object"; objects_failed=1; continue; }
  found=$("$objdump" -h "$object" | awk 'NF >= 7 && $1 ~ /^[0-9]+$/ { print $2 }' | grep -E "$load_sections" | tr '\n' ' ')
  statics=$("$nm" "$object" | grep -E '_GLOBAL__sub_I|__cxa_atexit|___cxa_|__gxx_personality|__Znw|__Zdl' | tr '\n' ' ')
  [ -z "$found$statics" ] || { fail "$(basename "$object") has $found$statics"; objects_failed=1; }
done
[ $objects_failed -eq 0 ] && ok "no object has static initialisation, finalisers or exception tables ($# objects)"

[ $failed -eq 0 ] && echo "DLL check passed" || echo "DLL check failed"
exit $failed
