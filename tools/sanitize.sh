#!/usr/bin/env bash
# Builds the native tests (position_tests, episode_tests, vector_tests and search_tests) and
# the Python module varnok._core with AddressSanitizer and
# UndefinedBehaviorSanitizer (plus the standard library's own bounds checks)
# into build/asan, runs the native tests, then the Python tests that drive
# threads against that module (tools/sanitize_python.sh). Any sanitizer report
# aborts the test binary or the interpreter, so the script fails on the first
# one in each. Runs inside the build environment (./dev test calls it).
#
#   tools/sanitize.sh [GTEST ARGS...]   the arguments go to every native binary
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

# -O1 keeps the run quick while leaving stack traces readable, and -g1 (line
# tables and functions, no variables) is all a report's stack trace needs, at
# a good part less compile time than full debug information; the build
# type's own flags are replaced so that NDEBUG stays unset and asserts stay
# active (RelWithDebInfo also keeps pybind11 from stripping the module).
# _GLIBCXX_ASSERTIONS adds bounds checks to std::array and std::vector
# indexing, which AddressSanitizer cannot see inside one object.
# A unity build (each target's sources compiled as one or a few files) reads
# the headers and generates their inline functions, instrumented, once per
# batch instead of once per file: about half the time from scratch. The
# release build stays file by file, so a source that leans on another's
# includes still fails to compile there.
SANITIZERS="-fsanitize=address,undefined"
FLAGS="$SANITIZERS -fno-sanitize-recover=all -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS"
# The module is loaded into an interpreter built without the sanitizer, so it
# links the sanitizer's shared runtime (gcc does by default, clang on request)
# and tools/sanitize_python.sh preloads that runtime.
MODULE_LINK="$SANITIZERS"
if "$CXX" --version | grep -q clang; then MODULE_LINK="$MODULE_LINK -shared-libsan"; fi
PYTHON="$TOP/.venv/bin/python"

start=$(date +%s)
say "configuring $BUILD with $CXX"
cmake -S "$TOP" -B "$BUILD" -G Ninja \
  -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$FLAGS" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DCMAKE_EXE_LINKER_FLAGS="$SANITIZERS" \
  -DCMAKE_MODULE_LINKER_FLAGS="$MODULE_LINK" \
  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF -DCMAKE_UNITY_BUILD=ON \
  -DPython_EXECUTABLE="$PYTHON" -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" \
  -DVARNOK_MODULE=ON -DVARNOK_NATIVE_TESTS=ON >/dev/null

say "building position_tests, episode_tests, vector_tests, search_tests, the perft tool they run and _core"
if ! "$TOP/tools/build_quietly.sh" sanitize "$BUILD" position_tests episode_tests vector_tests search_tests perft _core; then
  say "build failed"
  exit 1
fi
say "built in $(( $(date +%s) - start )) s"

# detect_leaks: LeakSanitizer checks the whole run at exit.
# halt_on_error / abort_on_error: the first report ends the run with a failure.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# The layers' tests side by side; all run even when one fails, so one report
# does not hide another.
run_start=$(date +%s)
failed=()
"$TOP/tools/run_native_tests.sh" sanitize "$BUILD" \
  core/position_tests env/episode_tests vector/vector_tests search/search_tests -- "$@" || failed+=(native)
"$TOP/tools/sanitize_python.sh" asan "$BUILD" "$CXX" || failed+=(python)
if [ ${#failed[@]} != 0 ]; then
  say "FAILED (${failed[*]}) after $(( $(date +%s) - run_start )) s"
  exit 1
fi
say "passed in $(( $(date +%s) - run_start )) s (total $(( $(date +%s) - start )) s)"
