#!/usr/bin/env bash
# Runs every test: the host build (whose tests include the Win32 build of Setup, its
# call check and its runs under Wine), the sanitizer build, and a short fuzzing run.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== host build and tests, the Win32 build and its runs under Wine among them"
cmake --workflow --preset default

echo "== AddressSanitizer (leaks included) + UndefinedBehaviorSanitizer build and tests"
# Half the random terminals of the host build: each run is several times slower under
# the sanitizers, and the test must end within its time-out on a loaded machine too.
KORVA_RANDOM_RUNS=50 cmake --workflow --preset asan

echo "== .reg import fuzzing, 30 seconds"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target regfile_fuzz
# New inputs go to a scratch folder; the seeds in the repository stay as they are.
rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
build-fuzz/bin/regfile_fuzz -max_total_time=30 -timeout=10 -dict=tests/fuzz/regfile.dict \
  build-fuzz/corpus tests/fuzz/corpus/regfile

echo "== setup-file fuzzing, 20 seconds"
cmake --build --preset fuzz --target setupfile_fuzz
rm -rf build-fuzz/corpus-setupfile && mkdir -p build-fuzz/corpus-setupfile
build-fuzz/bin/setupfile_fuzz -max_total_time=20 -timeout=10 -dict=tests/fuzz/setupfile.dict \
  build-fuzz/corpus-setupfile tests/fuzz/corpus/setupfile
echo "== all tests passed"
