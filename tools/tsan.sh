#!/usr/bin/env bash
# Builds the vector layer's tests (the worker pool and the vector
# environment), the search layer's tests and the Python module varnok._core
# with ThreadSanitizer into build/tsan, runs the native tests, then the Python
# tests that drive threads against that module (tools/sanitize_python.sh);
# any data race report fails the run. Runs inside the build environment
# (./dev test calls it).
set -euo pipefail

TOP="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$TOP/build/tsan"

say() { printf '[tsan] %s\n' "$*" >&2; }

CXX="${VARNOK_SAN_CXX:-}"
if [ -z "$CXX" ]; then
  if command -v clang++ >/dev/null 2>&1; then CXX=clang++; else CXX=g++; fi
fi

# The module links the shared runtime that tools/sanitize_python.sh preloads
# into the interpreter (gcc does so by default, clang on request).
MODULE_LINK="-fsanitize=thread"
if "$CXX" --version | grep -q clang; then MODULE_LINK="$MODULE_LINK -shared-libsan"; fi
PYTHON="$TOP/.venv/bin/python"

start=$(date +%s)
# RelWithDebInfo with its flags replaced: asserts stay active and pybind11
# leaves the module's symbols in place for readable reports; -g1 (line tables
# and functions) is what a report's stack traces need. A unity build, as in
# tools/sanitize.sh, for a build from scratch about half as long.
cmake -S "$TOP" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DCMAKE_MODULE_LINKER_FLAGS="$MODULE_LINK" \
  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF -DCMAKE_UNITY_BUILD=ON \
  -DPython_EXECUTABLE="$PYTHON" -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" \
  -DVARNOK_MODULE=ON -DVARNOK_NATIVE_TESTS=ON -DVARNOK_TOOLS=OFF >/dev/null
if ! "$TOP/tools/build_quietly.sh" tsan "$BUILD" vector_tests search_tests _core; then
  say "build failed"
  exit 1
fi
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1"
"$TOP/tools/run_native_tests.sh" tsan "$BUILD" vector/vector_tests search/search_tests || exit 1
say "native tests passed after $(( $(date +%s) - start )) s"
"$TOP/tools/sanitize_python.sh" tsan "$BUILD" "$CXX" || exit 1
say "passed in $(( $(date +%s) - start )) s"
