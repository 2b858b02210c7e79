#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the same suite under
# AddressSanitizer+UBSan; builds the programs with clang's lock-annotation check
# (-Wthread-safety), which fails the build on an unguarded access; and runs every fuzz
# target for a short, fixed number of inputs (scripts/fuzz.sh). With --tsan the suite
# also runs under ThreadSanitizer (a third full build: kept out of the CI command for
# its time; run it before changing threads or locks).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
run_suite() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs" --output-on-failure
}
run_suite default
run_suite asan
if [ "${1:-}" = "--tsan" ]; then
    run_suite tsan
fi
cmake --preset threads >/dev/null
cmake --build --preset threads -j "$jobs"
bash scripts/fuzz.sh short
