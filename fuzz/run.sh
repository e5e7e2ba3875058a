#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over its seed corpus.
#   fuzz/run.sh [seconds-per-target] [target ...]
# TESSEL_FUZZ_BUILD_ONLY=1 builds the targets and runs none; TESSEL_CMAKE_LAUNCHER (for instance
# "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache") is passed to CMake.
# New inputs found go to a scratch directory, not into the kept corpus; a crash leaves its input
# in build-fuzz/crashes/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

# shellcheck disable=SC2086
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTESSEL_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo ${TESSEL_CMAKE_LAUNCHER:-} >/dev/null
cmake --build build-fuzz --target fuzz_targets -j"$(nproc)" >/dev/null
if [ "${TESSEL_FUZZ_BUILD_ONLY:-0}" = 1 ]; then exit 0; fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build-fuzz/fuzz/*_fuzz; do targets+=("$(basename "$f")"); done
fi

mkdir -p build-fuzz/crashes
status=0
for t in "${targets[@]}"; do
  seeds=fuzz/corpus/${t%_fuzz}
  scratch=build-fuzz/scratch/$t
  mkdir -p "$seeds" "$scratch"
  echo "fuzz: $t for ${seconds}s"
  if ! (cd build-fuzz/crashes && "../fuzz/$t" -max_total_time="$seconds" -max_len=4096 \
        -timeout=10 -print_final_stats=0 "../../$scratch" "../../$seeds" > "../$t.log" 2>&1); then
    echo "fuzz: $t FAILED (see build-fuzz/$t.log)"; tail -40 "build-fuzz/$t.log"; status=1
  fi
done
exit $status
