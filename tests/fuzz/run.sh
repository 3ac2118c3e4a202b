#!/usr/bin/env bash
# Runs each fuzz target for SECONDS (default 60) from the committed seeds; new finds go to
# build/fuzz/corpus/<target>, crashes to build/fuzz/artifacts/. Fails on any crash or report.
# usage: tests/fuzz/run.sh [SECONDS] [TARGET...]
set -eu
cd "$(dirname "$0")/../.."
secs=${1:-60}
shift || true
targets=${*:-fuzz_main fuzz_wire}
bin=build/fuzz/tests/fuzz
for t in $targets; do
    mkdir -p "build/fuzz/corpus/$t" build/fuzz/artifacts
    log="build/fuzz/$t.log"
    if ! "$bin/$t" -max_total_time="$secs" -max_len=512 -print_final_stats=1 \
            -artifact_prefix="build/fuzz/artifacts/$t-" \
            "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
        tail -40 "$log" >&2
        echo "fuzz: $t failed; see $log" >&2
        exit 1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    corpus=$(ls "build/fuzz/corpus/$t" | wc -l)
    seeds=$(ls "tests/fuzz/corpus/$t" | wc -l)
    echo "fuzz: $t clean: $execs executions in ${secs}s, corpus $corpus found + $seeds seeds"
done
