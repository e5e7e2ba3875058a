#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (README command 2):
#   1. the whole suite on the normal build (build/);
#   2. the Debian package: built from the objects of build/ (compiled with the package's flags), checked
#      with lintian, installed, one cycle run from the installed files, removed and purged
#      (scripts/package-test.sh);
#   3. the whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/, clang);
#   4. every fuzz target (built in build-asan/ too) for a few seconds over its seed corpus.
#
#   scripts/test.sh [--quick]
#
# --quick (or TESSEL_QUICK=1): step 1 alone.
#
# The suites spend most of their time waiting on the database and the mail peers, the builds on the
# processor, so each suite runs while the next build compiles: the normal suite beside the sanitizer
# and fuzz build, then the sanitizer suite beside the package and the fuzz runs. Every check still
# runs; each part's output is kept in a log under build-logs/ and printed when the part ends. Compilers
# go through ccache when it is installed, so a second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=${TESSEL_QUICK:-0}
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown argument $arg (try --help)" >&2; exit 64 ;;
  esac
done

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths below the tree are hashed relative to it, so another clone reuses the same cache.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
  # A precompiled header (test programs built with TESSEL_TEST_UNITY=OFF) is cached only with these.
  export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:-pch_defines,time_macros}"
fi
export TESSEL_CMAKE_LAUNCHER="${launcher[*]}"

logs=build-logs
rm -rf "$logs"
mkdir -p "$logs"

# part LOG LABEL COMMAND... - runs one part in the background, its output into build-logs/LOG.log.
parts=()
logfiles=()
labels=()
part() {
  local log=$logs/$1.log label=$2
  shift 2
  echo "== $label: started (log: $log)"
  # Each part ends by writing how long it took, for the report in settle.
  (begin=$SECONDS; trap 'echo $((SECONDS - begin)) >"$log.seconds"' EXIT; "$@") >"$log" 2>&1 &
  parts+=("$!")
  logfiles+=("$log")
  labels+=("$label")
}

# settle - waits for every part started since the last settle, prints each one's log in the
# order they were started, and fails when any of them failed.
settle() {
  local failed=0 i
  for i in "${!parts[@]}"; do
    local status=0
    wait "${parts[$i]}" || status=$?
    local took
    took=$(cat "${logfiles[$i]}.seconds" 2>/dev/null || echo "?")
    echo "== ${labels[$i]}: $([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)") in ${took} s"
    cat "${logfiles[$i]}"
    [ "$status" -eq 0 ] || failed=1
  done
  parts=()
  logfiles=()
  labels=()
  if [ "$failed" -ne 0 ]; then
    echo "test.sh: a part failed (see above)" >&2
    exit 1
  fi
}

# The normal build is also what the Debian package ships (the package part packs its objects):
# where dpkg-buildflags is there, it compiles with the flags a package build would use.
build_normal() {
  local flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  if command -v dpkg-buildflags >/dev/null; then
    local deb="DEB_BUILD_MAINT_OPTIONS=hardening=+all"
    flags=(-DCMAKE_BUILD_TYPE=None
           "-DCMAKE_C_FLAGS=$(env $deb dpkg-buildflags --get CFLAGS) $(env $deb dpkg-buildflags --get CPPFLAGS)"
           "-DCMAKE_CXX_FLAGS=$(env $deb dpkg-buildflags --get CXXFLAGS) $(env $deb dpkg-buildflags --get CPPFLAGS)"
           "-DCMAKE_EXE_LINKER_FLAGS=$(env $deb dpkg-buildflags --get LDFLAGS)")
  fi
  cmake -S . -B build "${flags[@]}" "${launcher[@]}" >/dev/null
  cmake --build build -j"$jobs"
}

suite_normal() {
  ctest --test-dir build --output-on-failure -j"$jobs"
}

# One clang build serves the sanitizer suite and the fuzz targets: everything is compiled with
# AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage hooks (which the tests do not
# notice), instead of a second whole build for the fuzzers.
build_asan() {
  # A build-asan/ from a gcc configuration would keep gcc.
  if [ -f build-asan/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang++' build-asan/CMakeCache.txt; then
    rm -rf build-asan
  fi
  cmake -S . -B build-asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DTESSEL_SANITIZE=ON -DTESSEL_FUZZ=ON "${launcher[@]}" >/dev/null
  cmake --build build-asan -j"$jobs"
}

suite_asan() {
  # Any sanitizer report ends the process with a failure, and so fails its test.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:exitcode=86"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$(pwd)/scripts/lsan.supp:print_suppressions=0"
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
}

echo "== build (build/)"
build_begin=$SECONDS
build_normal
echo "== build (build/): done in $((SECONDS - build_begin)) s"

if [ "$quick" = 1 ]; then
  echo "== tests (build/)"
  suite_normal
  exit 0
fi

part tests "tests (build/)" suite_normal
part builds "sanitizer and fuzz build (build-asan/, clang)" build_asan
settle

part tests-asan "tests (build-asan/, AddressSanitizer and UndefinedBehaviorSanitizer)" suite_asan
part package "Debian package (from the objects of build/)" env TESSEL_PACKAGE_OBJECTS="$(pwd)/build" bash scripts/package-test.sh
part fuzz "fuzz targets" env TESSEL_FUZZ_DIR=build-asan bash fuzz/run.sh "${TESSEL_FUZZ_SECONDS:-5}"
settle
echo "test.sh: every part passed in $SECONDS s"
