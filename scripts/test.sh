#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (README command 2):
#   1. the whole suite on the normal build (build/);
#   2. the Debian package: built, checked with lintian, installed, one cycle run from the installed
#      files, removed and purged (scripts/package-test.sh);
#   3. the whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/);
#   4. every fuzz target for a few seconds over its seed corpus.
# Set TESSEL_QUICK=1 to run step 1 only.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== tests (build/)"
ctest --test-dir build --output-on-failure -j"$jobs"

if [ "${TESSEL_QUICK:-0}" = 1 ]; then exit 0; fi

echo "== Debian package"
bash scripts/package-test.sh

echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests (build-asan/)"
# Any sanitizer report ends the process with a failure, and so fails its test.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:exitcode=86"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$(pwd)/scripts/lsan.supp:print_suppressions=0"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzz targets (build-fuzz/)"
bash fuzz/run.sh "${TESSEL_FUZZ_SECONDS:-5}"
