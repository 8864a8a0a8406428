#!/usr/bin/env bash
# Runs GoogleTest binaries of a build folder side by side (each runs mostly on
# one core, so on a machine with several they finish in the time of the
# longest rather than of all together), each one's output in
# BUILD/LABEL-NAME.log. Prints every log in the order given once all have
# ended, so that the output reads as if they had run one after another, and
# fails, naming them, when any binary failed. Every binary runs even when
# another fails, so one report does not hide the next.
#
#   tools/run_native_tests.sh LABEL BUILD BINARY... [-- GTEST ARGS...]
#
# BINARY is a path inside BUILD (e.g. core/position_tests); the GTEST ARGS go
# to every binary after --gtest_brief=1.
set -uo pipefail

label="$1" build="$2"
shift 2
binaries=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  binaries+=("$1")
  shift
done
[ $# -gt 0 ] && shift

say() { printf '[%s] %s\n' "$label" "$*" >&2; }

start=$(date +%s)
pids=()
say "running ${binaries[*]##*/} side by side"
for binary in "${binaries[@]}"; do
  "$build/$binary" --gtest_brief=1 "$@" >"$build/$label-$(basename "$binary").log" 2>&1 &
  pids+=($!)
done
failed=()
for i in "${!binaries[@]}"; do
  name=$(basename "${binaries[$i]}")
  status=0
  wait "${pids[$i]}" || status=$?
  say "$name:"
  cat "$build/$label-$name.log" >&2
  if [ "$status" != 0 ]; then
    say "$name FAILED (exit status $status)"
    failed+=("$name")
  fi
done
if [ ${#failed[@]} != 0 ]; then
  say "native tests FAILED (${failed[*]}) after $(( $(date +%s) - start )) s"
  exit 1
fi
say "native tests passed in $(( $(date +%s) - start )) s"
