#!/bin/sh
# windows-dll-check.sh OBJDUMP ACDC_DLL LACDC_DLL AC_DLL: reads the export and import
# tables of the three module DLLs (objdump -p) and fails unless
#  - acdc.dll exports exactly luaopen_ac, luaopen_acdc and luaopen_lacdc, as code, and
#    imports only Windows' own DLLs and lua52.dll (no C++, gcc or thread runtime DLL,
#    no libcrypto DLL, and not the agent's core library, which is bound at run time);
#  - lacdc.dll and ac.dll each export their one opener as a forward to acdc.dll and
#    import nothing: a copy of acdc.dll would get counters, caches and locks of its own.
set -eu
objdump=$1 acdc=$2 lacdc=$3 ac=$4
status=0
fail() { echo "dll-check: $*" >&2; status=1; }

# The exported names, one a line, sorted.
exports() { "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | sort; }
# The export address entries: "Export RVA" for code, "Forwarder RVA -- dll.name" for a forward.
entries() { "$objdump" -p "$1" | sed -n 's/^\t\[ *[0-9]*\] +base\[ *[0-9]*\] *[0-9a-f]* //p'; }
imports() { "$objdump" -p "$1" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort -u; }

for dll in "$acdc" "$lacdc" "$ac"; do
  [ -f "$dll" ] || { echo "dll-check: $dll is missing" >&2; exit 1; }
done

got=$(exports "$acdc" | tr '\n' ' ')
[ "$got" = "luaopen_ac luaopen_acdc luaopen_lacdc " ] || fail "$acdc exports: $got"
kinds=$(entries "$acdc" | sort -u | tr '\n' ' ')
[ "$kinds" = "Export RVA " ] || fail "$acdc export entries: $kinds"
# Windows' own DLLs that the library may use; anything else must be lua52.dll.
allowed="kernel32.dll msvcrt.dll ucrtbase.dll ntdll.dll advapi32.dll user32.dll ws2_32.dll crypt32.dll"
allowed="$allowed bcrypt.dll wintrust.dll setupapi.dll fltlib.dll shell32.dll ole32.dll secur32.dll lua52.dll"
n=0
for dll in $(imports "$acdc"); do
  n=$((n + 1))
  case " $allowed " in
    *" $dll "*) ;;
    *) case $dll in api-ms-win-*) ;; *) fail "$acdc imports $dll" ;; esac ;;
  esac
done
[ "$n" -gt 0 ] || fail "$acdc has no import table"
imports "$acdc" | grep -qx lua52.dll || fail "$acdc does not import lua52.dll"

for pair in "$lacdc luaopen_lacdc" "$ac luaopen_ac"; do
  set -- $pair
  got=$(exports "$1" | tr '\n' ' ')
  [ "$got" = "$2 " ] || fail "$1 exports: $got"
  got=$(entries "$1" | tr '\n' ' ')
  [ "$got" = "Forwarder RVA -- acdc.$2 " ] || fail "$1 export entries: $got"
  got=$(imports "$1" | tr '\n' ' ')
  [ -z "$got" ] || fail "$1 imports: $got"
done

[ $status -eq 0 ] && echo "acdc.dll exports the three openers and imports $(imports "$acdc" | tr '\n' ' ');" \
  "lacdc.dll and ac.dll forward to it"
exit $status
