#!/usr/bin/env bash
# Fails when the program's own objects in the Win32 build call anything that the CE
# core library does not export: every external name they leave undefined must be in
# platform/coredll-calls.txt. The shims of platform/win32 and the desktop test programs
# are not the program's.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win32}
nm=x86_64-w64-mingw32-nm

folders=(setup environment install calibration completion registry texts)
mapfile -t objects < <(find "${folders[@]/#/$build/}" -path '*CMakeFiles*' -name '*.obj' | sort)
if ((${#objects[@]} == 0)); then
  echo "no program objects under $build" >&2
  exit 1
fi
# The compiler's own stack probe, which any function with a large frame calls.
compiler_helpers='___chkstk_ms'

defined=$("$nm" --defined-only -g "${objects[@]}" | awk 'NF == 3 { print $3 }' | sort -u)
called=$("$nm" -u "${objects[@]}" | awk 'NF >= 2 { print $NF }' | sort -u | comm -23 - <(echo "$defined") |
  sed 's/^__imp_//' | grep -vxF "$compiler_helpers" || true)
unknown=$(comm -23 <(echo "$called" | sort -u) <(sort -u platform/coredll-calls.txt))
if [ -n "$unknown" ]; then
  echo "The program calls what the CE core library does not export (see platform/coredll-calls.txt):" >&2
  echo "$unknown" >&2
  exit 1
fi
# What a desktop splits the core library into, and its C runtime: nothing else may load.
dlls=$(x86_64-w64-mingw32-objdump -p "$build/bin/Setup.exe" | awk '/DLL Name:/ { print $3 }' |
  grep -vixE 'kernel32.dll|user32.dll|advapi32.dll|msvcrt.dll' || true)
if [ -n "$dlls" ]; then
  echo "Setup.exe loads libraries beyond the core library's desktop parts:" $dlls >&2
  exit 1
fi
echo "the program calls only the CE core library ($(echo "$called" | wc -l) functions)"
