#!/bin/sh
# Checks the built Linux module: exactly the five exports, no C++ runtime,
# and nothing that runs at load (no static initialisers) or unwinds
# (no exception tables), in the module and in each of its objects.
# Usage: check_module.sh MODULE OBJECT...
set -u
module=$1
shift
failed=0
fail() { echo "FAIL: $*"; failed=1; }

exports=$(nm -D --defined-only "$module" | awk '{print $3}' | sort | tr '\n' ' ')
expected="MivaRegisterLibrary miva_commerce_cleanup miva_commerce_error miva_commerce_init miva_commerce_loop "
[ "$exports" = "$expected" ] || fail "exports are '$exports', expected '$expected'"

needed=$(readelf -d "$module" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
case "$needed" in
  *libstdc++*|*libgcc_s*) fail "module needs the C++ runtime: $needed" ;;
esac

undefined=$(nm -D --undefined-only "$module" | awk '{print $2}' | grep -E '^(_Z|__cxa_|__gxx_)' || true)
[ -z "$undefined" ] || fail "module refers to C++ runtime symbols: $undefined"

sections() { readelf -S -W "$1" | grep -oE '\.(init_array|ctors|fini_array|dtors|gcc_except_table)' | sort -u | tr '\n' ' '; }
found=$(sections "$module")
[ -z "$found" ] || fail "module has load-time or exception sections: $found"

for object in "$@"; do
  found=$(sections "$object")
  [ -z "$found" ] || fail "$object has $found"
  statics=$(nm "$object" | grep -E '_GLOBAL__sub_I|__cxa_atexit|__gxx_personality' || true)
  [ -z "$statics" ] || fail "$object has static initialisation: $statics"
done

[ $failed -eq 0 ] && echo "module check passed: $(echo $exports | wc -w) exports, needs: $needed"
exit $failed
