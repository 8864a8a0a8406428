#!/usr/bin/env bash
# Builds CMake targets into a build folder, keeping the compiler's output in
# BUILD/build.log and showing only how far the build is (every tenth step and
# the last), so long sanitizer and fuzz builds are not silent. On failure the
# whole log is printed and the status is the build's.
#
#   tools/build_quietly.sh LABEL BUILD TARGET...
set -uo pipefail

label="$1" build="$2"
shift 2
cmake --build "$build" -j "$(nproc)" --target "$@" 2>&1 | tee "$build/build.log" \
  | awk -v label="$label" 'match($0, /^\[[0-9]+\/[0-9]+\]/) {
      split(substr($0, 2, RLENGTH - 2), n, "/")
      if (n[1] > 0 && (n[1] % 10 == 0 || n[1] == n[2])) { printf "[%s]   built %d of %d\n", label, n[1], n[2]; fflush() }
    }' >&2
status=${PIPESTATUS[0]}
if [ "$status" != 0 ]; then
  cat "$build/build.log" >&2
fi
exit "$status"
