#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over its seed corpus.
#   fuzz/run.sh [seconds-per-target] [target ...]
# TESSEL_FUZZ_BUILD_ONLY=1 builds the targets and runs none; TESSEL_CMAKE_LAUNCHER (for instance
# "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache") is passed to CMake. TESSEL_FUZZ_DIR names a clang build
# directory configured with TESSEL_FUZZ=ON already (scripts/test.sh's sanitizer build): its targets
# are used instead of configuring build-fuzz/.
# New inputs found go to a scratch directory, not into the kept corpus; a crash leaves its input
# in <build directory>/crashes/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
seconds=${1:-60}
shift || true

dir=${TESSEL_FUZZ_DIR:-build-fuzz}
if [ -z "${TESSEL_FUZZ_DIR:-}" ]; then
  # shellcheck disable=SC2086
  cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTESSEL_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo ${TESSEL_CMAKE_LAUNCHER:-} >/dev/null
fi
cmake --build "$dir" --target fuzz_targets -j"$(nproc)" >/dev/null
if [ "${TESSEL_FUZZ_BUILD_ONLY:-0}" = 1 ]; then exit 0; fi
dir=$(cd "$dir" && pwd)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$dir"/fuzz/*_fuzz; do targets+=("$(basename "$f")"); done
fi

mkdir -p "$dir/crashes"
status=0
for t in "${targets[@]}"; do
  seeds=$repo/fuzz/corpus/${t%_fuzz}
  scratch=$dir/scratch/$t
  mkdir -p "$seeds" "$scratch"
  echo "fuzz: $t for ${seconds}s"
  if ! (cd "$dir/crashes" && "$dir/fuzz/$t" -max_total_time="$seconds" -max_len=4096 \
        -timeout=10 -print_final_stats=0 "$scratch" "$seeds" > "$dir/$t.log" 2>&1); then
    echo "fuzz: $t FAILED (see $dir/$t.log)"; tail -40 "$dir/$t.log"; status=1
  fi
done
exit $status
