#!/usr/bin/env bash
# The whole test run: installs what is missing, builds (plain and sanitized) with the CMake
# presets, runs every test, and fails when a stage ran fewer tests than
# tests/expected_test_counts.txt expects (a lost test must not go unnoticed).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KIVRA_BUILD_DIR:-$ROOT/build}
ASAN_BUILD=${KIVRA_ASAN_BUILD_DIR:-$ROOT/build-asan}
JOBS=${KIVRA_JOBS:-$(nproc)}
export CTEST_OUTPUT_ON_FAILURE=1
LOGS=$(mktemp -d "${TMPDIR:-/tmp}/kivra-test.XXXXXX") || exit 1
trap 'rm -rf "$LOGS"' EXIT

"$ROOT/scripts/install-deps.sh" || exit 1

passed=0
failed=0
record() { # name rc
  if [[ $2 -eq 0 ]]; then passed=$((passed + 1)); echo "== stage $1: ok"; else failed=$((failed + 1)); echo "== stage $1: FAILED ($2)"; fi
}

declare -A ran=()
expected() { awk -v k="$1" '$1 == k { print $2 }' "$ROOT/tests/expected_test_counts.txt"; }
# The number a ctest run closed with ("... out of N"), or 0.
ctest_count() { sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$1" | tail -n 1; }

stage_build() { # preset dir
  (cd "$ROOT" && cmake --preset "$1" -B "$2" >/dev/null) && cmake --build "$2" -j "$JOBS"
}

echo "== build (preset default) in $BUILD"
stage_build default "$BUILD"; rc=$?
record build $rc
if [[ $rc -eq 0 ]]; then
  echo "== ctest (all labels)"
  ctest --test-dir "$BUILD" -j "$JOBS" --timeout 600 2>&1 | tee "$LOGS/ctest.log"; record ctest "${PIPESTATUS[0]}"
  ran[ctest]=$(ctest_count "$LOGS/ctest.log")
  # Skipped tests (exit 77: e.g. the interop runs without ../shared) count as run but are named.
  skipped=$(grep -c '(Skipped)$' "$LOGS/ctest.log")
  [[ $skipped -gt 0 ]] && echo "== ctest: $skipped test(s) skipped, see 'The following tests did not run' above"
fi

if [[ "${KIVRA_SKIP_ASAN:-0}" != 1 ]]; then
  echo "== build (preset asan: address + undefined sanitizers) in $ASAN_BUILD"
  stage_build asan "$ASAN_BUILD"; rc=$?
  record asan-build $rc
  if [[ $rc -eq 0 ]]; then
    echo "== ctest under sanitizers (unit, component)"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir "$ASAN_BUILD" -j "$JOBS" -L 'unit|component' --timeout 600 2>&1 | tee "$LOGS/asan.log"
    record asan-ctest "${PIPESTATUS[0]}"
    ran[asan]=$(ctest_count "$LOGS/asan.log")
  fi
fi

# Further stages (cross builds, fuzzing, ...) live in scripts/test.d and get the build dirs.
for stage in "$ROOT"/scripts/test.d/*.sh; do
  [[ -f "$stage" ]] || continue
  name=$(basename "$stage" .sh)
  echo "== stage $name"
  KIVRA_ROOT="$ROOT" KIVRA_BUILD_DIR="$BUILD" KIVRA_ASAN_BUILD_DIR="$ASAN_BUILD" bash "$stage" 2>&1 | tee "$LOGS/$name.log"
  record "$name" "${PIPESTATUS[0]}"
done
# The fuzz stage closes with "fuzz: P passed, F failed": every target run counts.
ran[fuzz]=$(sed -n 's/^fuzz: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$LOGS/60-fuzz.log" 2>/dev/null | awk '{ print $1 + $2 }' | tail -n 1)

echo "== tests run per stage (at least as many as tests/expected_test_counts.txt)"
for key in ctest asan fuzz; do
  want=$(expected "$key")
  got=${ran[$key]:-0}
  if [[ "${KIVRA_SKIP_ASAN:-0}" == 1 && $key == asan ]]; then
    echo "   $key: skipped (KIVRA_SKIP_ASAN=1)"
    continue
  fi
  if [[ ${got:-0} -ge ${want:-0} ]]; then
    echo "   $key: $got run (expected at least $want)"
  else
    echo "   $key: $got run, FEWER than the $want expected"
    failed=$((failed + 1))
  fi
done

echo "stages: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
