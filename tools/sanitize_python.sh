#!/usr/bin/env bash
# Runs the Python tests marked `threads` (VectorEnv stepping on worker threads,
# step_async/step_wait, roll_outs, MCTS and UCT on threads, the one-caller
# guard) against a varnok._core built with a sanitizer, so that the binding
# and the layers below it are checked the way Python drives them. The module
# is not built here: tools/sanitize.sh builds it into build/asan with
# AddressSanitizer and UBSan, tools/tsan.sh into build/tsan with
# ThreadSanitizer, and both call this script. The installed release module is
# left alone. Runs inside the build environment.
#
#   tools/sanitize_python.sh asan|tsan BUILD_DIR CXX [PYTEST ARGS...]
#
# How the sanitized module is found: varnok/__init__.py extends the package
# path over every varnok/ folder on sys.path, in sys.path order, so a folder
# BUILD_DIR/python/varnok/ holding only _core*.so, put on PYTHONPATH, supplies
# _core ahead of the installed copy while the Python files still come from the
# checkout. VARNOK_EXPECT_CORE makes the tests' conftest refuse to run when
# some other _core was imported.
set -euo pipefail

TOP="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="$TOP/.venv/bin/python"

[ $# -ge 3 ] || { echo "usage: tools/sanitize_python.sh asan|tsan BUILD_DIR CXX [PYTEST ARGS...]" >&2; exit 2; }
mode="$1" build="$2" cxx="$3"
shift 3

say() { printf '[%s-python] %s\n' "$mode" "$*" >&2; }

# The sanitizer's shared runtime, from the compiler that built the module. It
# must be the first library the process loads, so it is preloaded.
runtime_of() {
  local clang_name="$1" gcc_name="$2" path
  if "$cxx" --version 2>/dev/null | grep -q clang; then
    path=$("$cxx" -print-file-name="libclang_rt.$clang_name-x86_64.so")
  else
    path=$("$cxx" -print-file-name="$gcc_name")
  fi
  [ -f "$path" ] || { say "no $clang_name runtime found for $cxx ($path)"; exit 1; }
  printf '%s\n' "$path"
}

case "$mode" in
  asan)
    preload=$(runtime_of asan libasan.so)
    # detect_leaks=0: the interpreter keeps much of what it allocates until
    # exit on purpose; the native tests check varnok's own memory for leaks.
    # The first report ends the run with a failure (abort_on_error, so that
    # pytest's fault handler prints the Python stack too).
    export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    # Every Python object through malloc, where AddressSanitizer sees it: an
    # object the binding releases too early becomes a use-after-free report
    # instead of a quiet reuse of the interpreter's own pools.
    export PYTHONMALLOC=malloc
    ;;
  tsan)
    preload=$(runtime_of tsan libtsan.so)
    export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:suppressions=$TOP/tools/tsan_python.supp"
    ;;
  *)
    say "unknown mode $mode (asan or tsan)"
    exit 2
    ;;
esac

# A package folder holding just the sanitized extension.
built=("$build"/module/_core*.so)
[ -f "${built[0]}" ] || { say "no module in $build/module (build the _core target first)"; exit 1; }
package="$build/python/varnok"
rm -rf "$build/python"
mkdir -p "$package"
cp "${built[0]}" "$package/"
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
export VARNOK_EXPECT_CORE="$package/$(basename "${built[0]}")"

# --capture=sys: pytest captures what Python writes, not the file
# descriptors, so a sanitizer's report reaches the terminal even when it
# aborts the interpreter in the middle of a test.
# The files run side by side on pytest-xdist workers, one per core (at most
# four), each file whole on one worker; the workers inherit the preload and the
# sanitizer's options, and a worker that a report aborts fails the run.
cores=$(nproc)
workers=$(( cores < 4 ? cores : 4 ))
start=$(date +%s)
say "pytest -m threads against $VARNOK_EXPECT_CORE ($workers workers)"
status=0
(cd "$TOP" && LD_PRELOAD="$preload" "$PYTHON" -m pytest -q -p no:cacheprovider --capture=sys -m threads \
  -n "$workers" --dist loadscope tests/python "$@") || status=$?
if [ "$status" != 0 ]; then
  say "FAILED (exit status $status) after $(( $(date +%s) - start )) s"
  exit 1
fi
say "passed in $(( $(date +%s) - start )) s"
