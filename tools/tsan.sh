#!/usr/bin/env bash
# Builds the vector layer's tests (the worker pool and the vector
# environment) and the search layer's tests with ThreadSanitizer into
# build/tsan and runs them; any data race report fails the run. Runs inside the build environment (./dev test
# calls it).
set -euo pipefail

TOP="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$TOP/build/tsan"

say() { printf '[tsan] %s\n' "$*" >&2; }

CXX="${VARNOK_SAN_CXX:-}"
if [ -z "$CXX" ]; then
  if command -v clang++ >/dev/null 2>&1; then CXX=clang++; else CXX=g++; fi
fi

start=$(date +%s)
cmake -S "$TOP" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=Tsan \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -O1 -g -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DVARNOK_MODULE=OFF -DVARNOK_NATIVE_TESTS=ON -DVARNOK_TOOLS=OFF >/dev/null
if ! cmake --build "$BUILD" -j "$(nproc)" --target vector_tests search_tests >"$BUILD/build.log" 2>&1; then
  cat "$BUILD/build.log" >&2
  say "build failed"
  exit 1
fi
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1"
for tests in vector/vector_tests search/search_tests; do
  if ! "$BUILD/$tests" --gtest_brief=1; then
    say "FAILED: $tests"
    exit 1
  fi
done
say "passed in $(( $(date +%s) - start )) s"
