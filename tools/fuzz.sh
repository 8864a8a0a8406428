#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/fuzz_*.cpp, with AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz through CMake and runs them.
# Runs inside the build environment (./dev test and ./dev fuzz call it).
#
#   tools/fuzz.sh smoke         replay fuzz/regressions/, then fuzz each target
#                               for a short while from a copy of its seed corpus
#   tools/fuzz.sh run SECONDS   fuzz each target for SECONDS, keeping what it
#                               learns in build/fuzz/corpus/ between runs
#   tools/fuzz.sh build         only build
#   tools/fuzz.sh campaign SECONDS TARGET...
#                               fuzz the targets one after another (no build),
#                               each for SECONDS at low priority (nice 10),
#                               corpus kept in build/fuzz/corpus/; a line per
#                               session (CPU seconds, executions, coverage,
#                               exit status) goes to build/fuzz-work/campaign/
#                               sessions.tsv. Run several at once for more cores.
#
# The targets run side by side, one per core. A crash leaves its input in
# build/fuzz-work/artifacts/; copy it to fuzz/regressions/TARGET/ so the
# native tests and every smoke run replay it from then on.
set -euo pipefail

TOP="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$TOP/build/fuzz"
WORK="$TOP/build/fuzz-work"
TARGETS=(fen ops fen_strict pgn state_bytes move_text vector_ops search_ops)
SMOKE_SECONDS=25

say() { printf '[fuzz] %s\n' "$*" >&2; }

CXX="${VARNOK_FUZZ_CXX:-clang++}"

# ---------------------------------------------------------------- build

# Configures build/fuzz with CMake (VARNOK_FUZZ: every library instrumented
# for coverage, AddressSanitizer and UndefinedBehaviorSanitizer, see the top
# CMakeLists.txt) and builds the targets; CMake rebuilds only what changed.
# The build type's flags are set without NDEBUG so that asserts stay active;
# -g1 keeps the line tables that a report's stack needs and leaves out the
# variable descriptions, which cost compile time and nothing here. The
# libraries are unity builds, as in tools/sanitize.sh.
build() {
  mkdir -p "$BUILD"
  if ! cmake -S "$TOP" -B "$BUILD" -G Ninja \
      -DCMAKE_CXX_COMPILER="$CXX" \
      -DVARNOK_FUZZ=ON -DVARNOK_MODULE=OFF -DVARNOK_NATIVE_TESTS=OFF -DCMAKE_UNITY_BUILD=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1" \
      >"$BUILD/configure.log" 2>&1; then
    cat "$BUILD/configure.log" >&2
    return 1
  fi
  local targets=() target
  for target in "${TARGETS[@]}"; do targets+=("fuzz_$target"); done
  if ! "$TOP/tools/build_quietly.sh" fuzz "$BUILD" "${targets[@]}"; then
    return 1
  fi
}

# ---------------------------------------------------------------- running

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

target_options() {
  case "$1" in
    fen) echo "-max_len=256 -dict=$TOP/fuzz/fen.dict" ;;
    ops) echo "-max_len=512 -len_control=0" ;;
    fen_strict) echo "-max_len=256 -dict=$TOP/fuzz/fen.dict" ;;
    pgn) echo "-max_len=2048 -dict=$TOP/fuzz/pgn.dict" ;;
    state_bytes) echo "-max_len=4096" ;;
    move_text) echo "-max_len=512 -dict=$TOP/fuzz/move_text.dict" ;;
    vector_ops) echo "-max_len=512 -len_control=0" ;;
    search_ops) echo "-max_len=1024 -len_control=0" ;;
  esac
}

# Runs every saved crash input of every target once, each on its own so
# that one failure does not hide the next.
replay_regressions() {
  local target file files status=0
  for target in "${TARGETS[@]}"; do
    files=("$TOP/fuzz/regressions/$target"/*)
    [ -e "${files[0]}" ] || continue
    say "replaying ${#files[@]} saved input(s) of $target"
    for file in "${files[@]}"; do
      if ! "$BUILD/fuzz_$target" "$file" >"$WORK/replay.log" 2>&1; then
        grep -aE 'runtime error|ERROR: AddressSanitizer|check failed|uncaught|SUMMARY' "$WORK/replay.log" | head -n 5 >&2
        say "$target: saved input fails again: ${file#"$TOP"/}"
        status=1
      fi
    done
  done
  return $status
}

# fuzz_one TARGET SECONDS CORPUS_DIR: one fuzzing session, log in WORK.
fuzz_one() {
  local target="$1" seconds="$2" corpus="$3"
  mkdir -p "$WORK/artifacts"
  # -timeout: an input that takes this long is reported as a hang.
  # shellcheck disable=SC2046
  "$BUILD/fuzz_$target" "$corpus" $(target_options "$target") \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$WORK/artifacts/$target-" >"$WORK/$target.log" 2>&1
}

# Prints one summary line per target from its log; fails on any crash.
report() {
  local target="$1" status="$2" log="$WORK/$1.log" runs secs
  runs=$(awk '/stat::number_of_executed_units:/ {print $2}' "$log" | tail -n 1)
  secs=$(awk '/stat::average_exec_per_sec:/ {print $2}' "$log" | tail -n 1)
  local corpus
  corpus=$(grep -aoE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -n 1 || true)
  if [ "$status" = 0 ]; then
    say "$target: ${runs:-?} runs (${secs:-?}/s), ${corpus:-corp: ?}, nothing found"
    return 0
  fi
  tail -n 60 "$log" >&2
  say "$target: FAILED (exit status $status) after ${runs:-?} runs; input saved as:"
  ls -1 "$WORK/artifacts/$target-"* 2>/dev/null | sed 's/^/[fuzz]   /' >&2 || true
  return 1
}

# fuzz_all SECONDS CORPUS_ROOT: every target side by side.
fuzz_all() {
  local seconds="$1" root="$2" target pids=() status=0 i=0
  for target in "${TARGETS[@]}"; do
    fuzz_one "$target" "$seconds" "$root/$target" &
    pids+=($!)
  done
  for target in "${TARGETS[@]}"; do
    local rc=0
    wait "${pids[$i]}" || rc=$?
    report "$target" "$rc" || status=1
    i=$((i + 1))
  done
  return $status
}

# The last value of a libFuzzer status field (cov:, ft:) in a log.
last_field() { grep -aoE "$1 [0-9]+" "$2" | tail -n 1 | awk '{print $2}'; }

# campaign SECONDS TARGET...: one session per target, one after another, the
# CPU time measured by the shell (user and system time of the fuzzer).
campaign() {
  local seconds="$1" target log rc user sys
  shift
  mkdir -p "$WORK/campaign" "$WORK/artifacts"
  local sessions="$WORK/campaign/sessions.tsv"
  [ -e "$sessions" ] || printf 'start\ttarget\twall_s\tuser_s\tsys_s\texecutions\tcov\tft\tstatus\n' >"$sessions"
  for target in "$@"; do
    mkdir -p "$BUILD/corpus/$target"
    cp -n "$TOP/fuzz/corpus/$target"/* "$BUILD/corpus/$target/"
    local start stamp
    start=$(date +%s)
    stamp=$(date -u +%Y-%m-%dT%H:%M:%S)
    log="$WORK/campaign/$target-$start.log"
    rc=0
    local TIMEFORMAT='%U %S'
    # At low priority on a busy machine an input can wait for the processor
    # far longer than it runs: -timeout (wall time) is generous here.
    # shellcheck disable=SC2046
    { time nice -n 10 "$BUILD/fuzz_$target" "$BUILD/corpus/$target" $(target_options "$target") \
        -max_total_time="$seconds" -timeout=120 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$WORK/artifacts/$target-" >"$log" 2>&1; } 2>"$log.cpu" || rc=$?
    read -r user sys <"$log.cpu"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$stamp" "$target" "$(( $(date +%s) - start ))" "$user" "$sys" \
      "$(awk '/stat::number_of_executed_units:/ {print $2}' "$log" | tail -n 1)" \
      "$(last_field cov: "$log")" "$(last_field ft: "$log")" "$rc" >>"$sessions"
    say "$target: exit status $rc, ${user}s user ${sys}s system; log $log"
  done
}

mode="${1:-}"
case "$mode" in
  build)
    build
    ;;
  smoke)
    start=$(date +%s)
    say "building the fuzz targets (build/fuzz)"
    build || { say "build failed"; exit 1; }
    mkdir -p "$WORK"
    status=0
    replay_regressions || status=1
    # Fuzz from a scratch copy: the committed seed corpus never changes.
    rm -rf "$WORK/smoke"
    for target in "${TARGETS[@]}"; do
      mkdir -p "$WORK/smoke/$target"
      cp "$TOP/fuzz/corpus/$target"/* "$WORK/smoke/$target/"
    done
    say "fuzzing ${TARGETS[*]} for $SMOKE_SECONDS s each, side by side"
    fuzz_all "$SMOKE_SECONDS" "$WORK/smoke" || status=1
    say "smoke done in $(( $(date +%s) - start )) s"
    exit $status
    ;;
  run)
    seconds="${2:-}"
    [[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { say "usage: tools/fuzz.sh run SECONDS"; exit 2; }
    say "building the fuzz targets (build/fuzz)"
    build || { say "build failed"; exit 1; }
    mkdir -p "$WORK"
    for target in "${TARGETS[@]}"; do
      mkdir -p "$BUILD/corpus/$target"
      cp -n "$TOP/fuzz/corpus/$target"/* "$BUILD/corpus/$target/"
    done
    say "fuzzing ${TARGETS[*]} for $seconds s each, side by side; corpus in build/fuzz/corpus"
    fuzz_all "$seconds" "$BUILD/corpus"
    ;;
  campaign)
    seconds="${2:-}"
    [[ "$seconds" =~ ^[1-9][0-9]*$ ]] && [ $# -ge 3 ] || {
      say "usage: tools/fuzz.sh campaign SECONDS TARGET..."
      exit 2
    }
    shift 2
    campaign "$seconds" "$@"
    ;;
  *)
    say "usage: tools/fuzz.sh smoke | run SECONDS | build | campaign SECONDS TARGET..."
    exit 2
    ;;
esac
