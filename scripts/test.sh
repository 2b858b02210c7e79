#!/usr/bin/env bash
# Builds everything and runs every test: the normal build (build/, GCC, optimised), then
# the same suite under AddressSanitizer+UBSan (build-asan/, clang). Installs the Debian
# packages it needs when missing (scripts/deps.sh test).
#
#     bash scripts/test.sh            the two suites
#     bash scripts/test.sh --tsan     and the suite under ThreadSanitizer (build-tsan/, a
#                                     third full build: run it after any change to threads
#                                     or locks)
#
# CI (.ci/run) runs this, then the lock-annotation check and the short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
tsan=
for option in "$@"; do
    case $option in
    --tsan) tsan=1 ;;
    *)
        echo "usage: bash scripts/test.sh [--tsan]" >&2
        exit 2
        ;;
    esac
done
bash scripts/deps.sh test
jobs=$(nproc)

# What keeps the two builds within their time on two cores, beside the presets' own
# settings. The optimised build: line tables only as debug information (a quarter less
# compile time; stack traces keep their lines) and gold as the linker (half the link
# time). The sanitizer build: clang, which compiles it in half the time GCC takes (with
# GNU ld: gold warns about every symbol of clang's AddressSanitizer runtime).
plain=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=gold
       "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
       "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
sanitizer=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)

# run_suite PRESET [CMAKE OPTIONS...]
run_suite() {
    local preset=$1 start=$SECONDS folder=build-$1
    [ "$preset" = default ] && folder=build
    shift
    echo "== $preset: build"
    cmake --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    # A fresh folder knows no test's duration yet; those of the suite before let ctest
    # start the longest tests first instead of leaving them for the end.
    local costs=Testing/Temporary/CTestCostData.txt
    if [ ! -f "$folder/$costs" ] && [ -f "build/$costs" ]; then
        mkdir -p "$folder/Testing/Temporary"
        cp "build/$costs" "$folder/$costs"
    fi
    echo "== $preset: tests"
    # Most tests wait on sockets, child processes and timers: one more than the cores
    # keeps them busy.
    if ! ctest --preset "$preset" -j $((jobs + 1)) --output-on-failure; then
        # The failures' own output, once more at the end where a log's tail shows it,
        # from a second run of just those tests (which also tells whether they fail again).
        echo "== $preset: the failed tests once more"
        ctest --preset "$preset" --rerun-failed --output-on-failure || true
        echo "== $preset: tests failed"
        return 1
    fi
    echo "== $preset: $((SECONDS - start)) s"
}
run_suite default "${plain[@]}"
run_suite asan "${sanitizer[@]}"
[ -n "$tsan" ] && run_suite tsan
echo "== every test passed ($SECONDS s)"
