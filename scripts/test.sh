#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (README command 2).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
echo "== build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

echo "== tests"
ctest --test-dir build --output-on-failure -j"$jobs"
