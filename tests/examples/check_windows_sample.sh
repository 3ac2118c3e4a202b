#!/usr/bin/env bash
# The cross-built sample host is a Windows program of the given format that imports only what
# every Windows has, so it runs without the MinGW runtime beside it.
# usage: check_windows_sample.sh SAMPLE.exe FORMAT (pei-i386 or pei-x86-64)
# Exit 77 (skipped) only when the cross tools are not installed.
set -u
exe=$1 format=$2
objdump=$(command -v i686-w64-mingw32-objdump || command -v x86_64-w64-mingw32-objdump || true)
if [ -z "$objdump" ]; then
    echo "SKIP: the MinGW-w64 tools are not installed (scripts/install-deps windows)"
    exit 77
fi
[ -f "$exe" ] || { echo "FAIL: $exe is missing (run \`make windows\`)"; exit 1; }
"$objdump" -f "$exe" | grep -q "file format $format" || { echo "FAIL: $exe is not $format"; exit 1; }
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll msvcrt.dll " ] || { echo "FAIL: $exe imports $imports"; exit 1; }
echo "$exe: $format, imports $imports"
