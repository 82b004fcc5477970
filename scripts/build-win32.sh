#!/usr/bin/env bash
# Builds Setup for Windows against the platform's own headers (the win32 workflow,
# mingw-w64) and checks that the program calls only the CE core library. Exits 77, the
# tests' "skipped", where the cross compiler is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "== mingw-w64 (x86_64-w64-mingw32-g++) is not installed: the Win32 build is skipped"
  exit 77
fi
cmake --workflow --preset win32
test -f build-win32/bin/Setup.exe
bash scripts/check-coredll-calls.sh build-win32
