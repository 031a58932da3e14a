#!/bin/sh
# Builds the libFuzzer targets of tests/fuzz with clang and the sanitizers in build-fuzz,
# replays each target's seed corpus, then fuzzes each target for SECONDS (default 30).
# New inputs go to a scratch folder, findings of the last run to build-fuzz/findings/<target>/.
# Exits non-zero when any target crashes, hangs, runs out of memory or breaks an invariant.
# Usage: scripts/fuzz.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-30}
build="build-fuzz"
targets="fuzz_request_dispatch fuzz_condition_texts fuzz_settings_reader fuzz_answer_building"

CC=clang CXX=clang++ cmake -S tests/fuzz -B "$build" -DQUORVANTEL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qv-fuzz-XXXXXX")
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in $targets; do
    corpus=tests/fuzz/corpus/$target
    findings=$build/findings/$target
    log=$scratch/$target.log
    rm -rf "$findings"
    mkdir -p "$findings" "$scratch/$target"
    set -- -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/"
    if [ -f "tests/fuzz/$target.dict" ]; then set -- "$@" -dict="tests/fuzz/$target.dict"; fi
    # A request is one TCP piece; longer ones are not what this target is about.
    if [ "$target" = fuzz_request_dispatch ]; then set -- "$@" -max_len=4096; fi

    if "$build/$target" "$@" -runs=0 "$corpus" >"$log" 2>&1 &&
        "$build/$target" "$@" -max_total_time="$seconds" -print_final_stats=1 "$scratch/$target" "$corpus" >>"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
    echo "$target: $result, ${execs:-0} executions, ${rate:-0}/s, ${cov:-cov: ?}"
    if [ "$result" = FAILED ]; then
        tail -n 40 "$log"
        echo "$target: findings in $findings, log in $log"
    fi
done
[ "$status" -eq 0 ] && rm -rf "$scratch"
exit "$status"
