#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where they are missing.
# `install-deps.sh demo` installs only what the host build of the programs needs (the
# demo); without it, also the Win32 cross compiler, clang for fuzzing, and Wine.
set -euo pipefail

for_demo=0
if [ "${1:-}" = demo ]; then for_demo=1; fi

# The host build configures its tests and benchmarks too, so GoogleTest and Google
# Benchmark are needed even where only the programs are built.
packages=(
  cmake ninja-build g++ pkg-config
  libsqlite3-dev libicu-dev libmspack-dev
  googletest libgtest-dev libbenchmark-dev
  gcab
)
if ((!for_demo)); then
  packages+=(g++-mingw-w64-x86-64 clang libclang-rt-14-dev)
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Wine runs the Win32 Setup.exe in the tests (its 64-bit loader is all they need).
# Where it cannot be installed, those runs are skipped and everything else still runs.
if ((!for_demo)) && ! dpkg-query -W -f='${Status}' wine64 2>/dev/null | grep -q 'install ok installed'; then
  echo "Installing: wine64"
  if ! { "${sudo_cmd[@]}" apt-get update -qq &&
         "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends wine64; }; then
    echo "Wine cannot be installed here: the runs of Setup.exe under Wine will be skipped"
  fi
fi
