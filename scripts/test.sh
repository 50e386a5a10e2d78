#!/usr/bin/env bash
# The whole test run: installs what is missing, builds (plain and sanitized), runs every test.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KIVRA_BUILD_DIR:-$ROOT/build}
ASAN_BUILD=${KIVRA_ASAN_BUILD_DIR:-$ROOT/build-asan}
JOBS=${KIVRA_JOBS:-$(nproc)}
export CTEST_OUTPUT_ON_FAILURE=1

"$ROOT/scripts/install-deps.sh" || exit 1

passed=0
failed=0
record() { # name rc
  if [[ $2 -eq 0 ]]; then passed=$((passed + 1)); echo "== stage $1: ok"; else failed=$((failed + 1)); echo "== stage $1: FAILED ($2)"; fi
}

stage_build() { # dir extra-cmake-args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DKIVRA_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$JOBS"
}

echo "== build (RelWithDebInfo) in $BUILD"
stage_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo; rc=$?
record build $rc
if [[ $rc -eq 0 ]]; then
  echo "== ctest (all labels)"
  ctest --test-dir "$BUILD" -j "$JOBS" --timeout 600; record ctest $?
fi

if [[ "${KIVRA_SKIP_ASAN:-0}" != 1 ]]; then
  echo "== build (address + undefined sanitizers) in $ASAN_BUILD"
  stage_build "$ASAN_BUILD" -DCMAKE_BUILD_TYPE=Debug -DKIVRA_SANITIZE=ON; rc=$?
  record asan-build $rc
  if [[ $rc -eq 0 ]]; then
    echo "== ctest under sanitizers (unit, component)"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir "$ASAN_BUILD" -j "$JOBS" -L 'unit|component' --timeout 600; record asan-ctest $?
  fi
fi

# Further stages (cross builds, fuzzing, ...) live in scripts/test.d and get the build dirs.
for stage in "$ROOT"/scripts/test.d/*.sh; do
  [[ -f "$stage" ]] || continue
  name=$(basename "$stage" .sh)
  echo "== stage $name"
  KIVRA_ROOT="$ROOT" KIVRA_BUILD_DIR="$BUILD" KIVRA_ASAN_BUILD_DIR="$ASAN_BUILD" bash "$stage"; record "$name" $?
done

echo "stages: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
