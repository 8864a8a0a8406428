#!/usr/bin/env bash
# Builds the native tests (position_tests, episode_tests, vector_tests and search_tests) with
# AddressSanitizer and UndefinedBehaviorSanitizer (plus the standard library's
# own bounds checks) into build/asan and runs them. Any sanitizer report
# aborts the test binary, so the script fails on the first one in each. Runs
# inside the build environment (./dev test calls it).
#
#   tools/sanitize.sh [GTEST ARGS...]   the arguments go to both binaries
#
# Environment: VARNOK_SAN_CXX picks the compiler (default clang++, else g++).
set -euo pipefail

TOP="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$TOP/build/asan"

say() { printf '[sanitize] %s\n' "$*" >&2; }

CXX="${VARNOK_SAN_CXX:-}"
if [ -z "$CXX" ]; then
  if command -v clang++ >/dev/null 2>&1; then CXX=clang++; else CXX=g++; fi
fi

# -O1 keeps the run quick while leaving stack traces readable.
# _GLIBCXX_ASSERTIONS adds bounds checks to std::array and std::vector
# indexing, which AddressSanitizer cannot see inside one object.
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1 -g -D_GLIBCXX_ASSERTIONS"

start=$(date +%s)
say "configuring $BUILD with $CXX"
cmake -S "$TOP" -B "$BUILD" -G Ninja \
  -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_BUILD_TYPE=Sanitize \
  -DCMAKE_CXX_FLAGS="$FLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DVARNOK_MODULE=OFF -DVARNOK_NATIVE_TESTS=ON >/dev/null

say "building position_tests, episode_tests, vector_tests, search_tests and the perft tool they run"
if ! cmake --build "$BUILD" -j "$(nproc)" --target position_tests episode_tests vector_tests search_tests perft >"$BUILD/build.log" 2>&1; then
  cat "$BUILD/build.log" >&2
  say "build failed"
  exit 1
fi
say "built in $(( $(date +%s) - start )) s"

# detect_leaks: LeakSanitizer checks the whole run at exit.
# halt_on_error / abort_on_error: the first report ends the run with a failure.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# The position layer's tests first, then the episode layer's; both run even
# when the first fails, so one report does not hide the other.
run_start=$(date +%s)
failed=()
for binary in core/position_tests env/episode_tests vector/vector_tests search/search_tests; do
  tests=$(basename "$binary")
  say "running $tests"
  status=0
  "$BUILD/$binary" --gtest_brief=1 "$@" || status=$?
  if [ "$status" != 0 ]; then
    say "$tests FAILED (exit status $status)"
    failed+=("$tests")
  fi
done
if [ ${#failed[@]} != 0 ]; then
  say "FAILED (${failed[*]}) after $(( $(date +%s) - run_start )) s"
  exit 1
fi
say "passed in $(( $(date +%s) - run_start )) s (total $(( $(date +%s) - start )) s)"
