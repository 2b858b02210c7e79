#!/usr/bin/env bash
# Fuzz campaigns with libFuzzer: the build preset "fuzz" (clang, AddressSanitizer+UBSan,
# coverage), then each target over its seed corpus and kept regressions.
#
#   bash scripts/fuzz.sh short                 each target for a fixed number of inputs (CI)
#   bash scripts/fuzz.sh long [SECONDS] [TARGET...]
#                                              each target until 10^7 inputs or SECONDS
#                                              (default 1800), one after the other
#
# Long campaigns keep what they learn in build-fuzz/campaign/TARGET/corpus, so the next
# one goes on from there. An input that breaks a target is copied to
# fuzz/regressions/TARGET/ (ctest replays that folder in every build from then on) and
# the script fails. It prints, per target, the inputs run, the seconds, and the
# coverage libFuzzer counts: cov (code edges reached) and ft (features).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${1:-short}
seconds=${2:-1800}
shift $(( $# > 2 ? 2 : $# ))

targets=(packet_reader device_receive regedit_import remote_request instance_request)
[ $# -gt 0 ] && targets=("$@")
declare -A maxLength=([packet_reader]=8192 [device_receive]=16384 [regedit_import]=4096
                      [remote_request]=300 [instance_request]=512)
declare -A shortRuns=([packet_reader]=100000 [device_receive]=3000 [regedit_import]=2000
                      [remote_request]=1500 [instance_request]=3000)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen QUORVALINK_REMOTE_PORT=0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
summary=""
for target in "${targets[@]}"; do
    work=$root/build-fuzz/campaign/$target
    mkdir -p "$work/corpus" "$work/artifacts"
    seeds=("$root/fuzz/corpus/$target")
    [ -d "$root/fuzz/regressions/$target" ] && seeds+=("$root/fuzz/regressions/$target")
    options=(-max_len="${maxLength[$target]}" -timeout=60 -print_final_stats=1
             -artifact_prefix="$work/artifacts/" -dict="$root/fuzz/dictionaries/$target.dict")
    if [ "$mode" = short ]; then
        corpus=$(mktemp -d)
        options+=(-runs="${shortRuns[$target]}" -seed=1)
    else
        corpus=$work/corpus
        options+=(-runs=10000000 -max_total_time="$seconds")
    fi
    log=$work/$mode.log
    echo "== fuzz_$target ($mode)"
    start=$(date +%s)
    if ! "$root/build-fuzz/fuzz/fuzz_$target" "${options[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        status=1
        tail -n 30 "$log"
        mkdir -p "$root/fuzz/regressions/$target"
        for found in "$work"/artifacts/*; do
            [ -f "$found" ] || continue
            cp "$found" "$root/fuzz/regressions/$target/"
            echo "kept $found as fuzz/regressions/$target/$(basename "$found")"
        done
    fi
    elapsed=$(( $(date +%s) - start ))
    [ "$mode" = short ] && rm -rf "$corpus"
    runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || echo "?")
    coverage=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 |
               grep -oE 'cov: [0-9]+ ft: [0-9]+' || echo "cov: ? ft: ?")
    summary+=$(printf '%-18s %10s inputs %6ss  %s' "$target" "$runs" "$elapsed" "$coverage")$'\n'
done
printf '\n%s' "$summary"
exit $status
