#!/bin/sh
# The Windows program's import table: it binds to ftd2xx.dll at load time, by
# exactly the seven undecorated names the vendor's DLL exports, and needs no
# DLL but that one and DLLs of Windows itself (its C and C++ runtime are linked
# in). Reads the table with GNU objdump, so it checks any build, 32-bit included,
# without running it.
#   sh imports.sh OBJDUMP PROGRAM.exe
set -u
objdump=$1
program=$2

# One line per imported function: "dll name", the DLL's name in lower case.
imports=$("$objdump" -p "$program" | awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF; next }
    /^$/ { dll = "" }')
if [ -z "$imports" ]; then
    echo "FAIL: no import table read from $program"
    exit 1
fi

failed=0
dlls=$(printf '%s\n' "$imports" | awk '{ print $1 }' | sort -u)
for dll in $dlls; do
    case $dll in
    ftd2xx.dll | kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *)
        echo "FAIL: imports $dll, not one of ftd2xx.dll, KERNEL32 and the C runtime"
        failed=1
        ;;
    esac
done

expected="FT_Close
FT_CreateDeviceInfoList
FT_CyclePort
FT_EE_ProgramEx
FT_EE_ReadEx
FT_GetDeviceInfoList
FT_OpenEx"
actual=$(printf '%s\n' "$imports" | awk '$1 == "ftd2xx.dll" { print $2 }' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    echo "FAIL: the names imported from ftd2xx.dll are"
    printf '%s\n' "${actual:-(none)}"
    echo "instead of"
    printf '%s\n' "$expected"
    failed=1
fi

echo "DLLs imported by $program:" $dlls
exit $failed
