#!/usr/bin/env bash
# Test-command stage: builds the libFuzzer targets with clang in their own build dir and runs
# each briefly, so a parser that crashes, hangs or breaks its wire rules on the seeds or on
# what a short run finds fails the test command. Longer runs: scripts/fuzz.sh [seconds].
set -uo pipefail
ROOT=${KIVRA_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
export KIVRA_FUZZ_BUILD_DIR=${KIVRA_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
# 15 s each: nine targets on two cores, with the proxy target alongside, take about a minute.
exec bash "$ROOT/scripts/fuzz.sh" "${KIVRA_FUZZ_STAGE_SECONDS:-15}"
