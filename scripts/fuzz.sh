#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, fuzz/) and runs each for a bounded time.
#
#   scripts/fuzz.sh [seconds]          every target, default 60 s each
#   scripts/fuzz.sh 300 proxy_manager  only the named targets
#
# Environment:
#   KIVRA_FUZZ_BUILD_DIR  build dir (default <repo>/build-fuzz); the grown corpora live in
#                         <build>/corpus/<target>, crash artefacts in <build>/artifacts
#   KIVRA_FUZZ_JOBS       parser targets run at the same time (default: number of cores)
# The proxy_manager target binds fixed ports, so it makes its own network namespace (root, or
# user namespaces allowed). Exit status 0 when no target found a new fault.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${1:-60}
shift || true
BUILD=${KIVRA_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
JOBS=${KIVRA_FUZZ_JOBS:-$(nproc)}
# A single input slower than this is a hang (the proxy target needs about 1 s per input).
INPUT_TIMEOUT_S=25
ALL_TARGETS=(served_command signal_message punch_datagram probe_datagram ssdp_answer
             device_description soap_fault external_address rendezvous_message proxy_manager x11_reply
             stun_message)
if (($# > 0)); then targets=("$@"); else targets=("${ALL_TARGETS[@]}"); fi

if ! [[ $SECONDS_EACH =~ ^[0-9]+$ ]] || ((SECONDS_EACH < 1)); then
  echo "usage: scripts/fuzz.sh [seconds] [target...]" >&2
  exit 2
fi
for tool in clang clang++ cmake ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

started=$(date +%s)
echo "fuzz: building in $BUILD"
mkdir -p "$BUILD/logs" "$BUILD/artifacts"
# -O1 with line tables: the usual fuzzing trade of speed against build time and stack traces.
if ! (cd "$ROOT" && cmake --preset fuzz -B "$BUILD" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only") \
    >"$BUILD/logs/configure.log" 2>&1; then
  cat "$BUILD/logs/configure.log" >&2
  exit 1
fi
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
if ! cmake --build "$BUILD" --target "${build_targets[@]}" -j "$(nproc)" >"$BUILD/logs/build.log" 2>&1; then
  tail -n 60 "$BUILD/logs/build.log" >&2
  echo "fuzz: build FAILED" >&2
  exit 1
fi
echo "fuzz: built in $(($(date +%s) - started)) s"

passed=0
failed=0

# Runs one target; its result goes to logs/<target>.rc so parallel runs can be collected.
run_target() { # target
  local t=$1 bin="$BUILD/fuzz/fuzz_$1" work="$BUILD/corpus/$1" seeds="$ROOT/fuzz/corpus/$1"
  mkdir -p "$work"
  if [[ -d $seeds ]]; then
    find "$seeds" -maxdepth 1 -type f -exec cp -f {} "$work/" \;
  fi
  local dict=()
  [[ -f $ROOT/fuzz/dict/$t.dict ]] && dict=(-dict="$ROOT/fuzz/dict/$t.dict")
  "$bin" -max_total_time="$SECONDS_EACH" -timeout="$INPUT_TIMEOUT_S" -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$BUILD/artifacts/$t-" "$work" >"$BUILD/logs/$t.log" 2>&1
  local rc=$?
  if [[ $rc -eq 0 ]] && ! grep -q '^Done [0-9]* runs' "$BUILD/logs/$t.log"; then
    rc=99 # ended without running: treat as a failure, never as a pass
  fi
  echo "$rc" >"$BUILD/logs/$t.rc"
}

report_target() { # target
  local t=$1 rc
  rc=$(cat "$BUILD/logs/$t.rc" 2>/dev/null || echo 98)
  local runs
  runs=$(grep -o '^Done [0-9]* runs' "$BUILD/logs/$t.log" | grep -o '[0-9]*' | tail -n 1)
  if [[ $rc -eq 0 ]]; then
    passed=$((passed + 1))
    echo "fuzz: $t ok (${runs:-0} inputs in ${SECONDS_EACH} s)"
  else
    failed=$((failed + 1))
    echo "fuzz: $t FAILED (exit $rc); log $BUILD/logs/$t.log, artefacts $BUILD/artifacts/$t-*"
    grep -E 'FUZZ_CHECK|ERROR: |SUMMARY|#[0-9]+ 0x' "$BUILD/logs/$t.log" | head -n 30
  fi
}

# The proxy target mostly sleeps (punching waits 500 ms per input), so it runs alongside
# the parser targets, which run in rounds of JOBS (each takes the same fixed time).
parsers=()
for t in "${targets[@]}"; do
  if [[ $t == proxy_manager ]]; then
    run_target "$t" &
  else
    parsers+=("$t")
  fi
done
round=()
for t in "${parsers[@]}"; do
  run_target "$t" &
  round+=($!)
  if ((${#round[@]} >= JOBS)); then
    wait "${round[@]}"
    round=()
  fi
done
wait
for t in "${targets[@]}"; do report_target "$t"; done

echo "fuzz: finished in $(($(date +%s) - started)) s"
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
