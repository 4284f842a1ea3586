#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time and prints, per target, the
# executions and the coverage gained over its seed corpus.
#   run-fuzz.sh BUILD_DIR SECONDS [TARGET...]
# Inputs found are kept in BUILD_DIR/fuzz-corpus/<target> (so a later run starts from them); a
# crashing input goes to BUILD_DIR/fuzz-artifacts/<target>/ and makes the script fail.
set -uo pipefail

build=${1:?usage: run-fuzz.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:-60}
shift 2 || true
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for src in "$here"/*Fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

status=0
printf '%-20s %12s %10s %10s %8s  %s\n' target executions cov-start cov-end corpus result
for t in "${targets[@]}"; do
    bin="$build/tests/fuzz/$t"
    if [ ! -x "$bin" ]; then
        echo "$t: not built ($bin)" >&2
        status=1
        continue
    fi
    work="$build/fuzz-corpus/$t"
    artifacts="$build/fuzz-artifacts/$t"
    log="$build/fuzz-logs/$t.log"
    mkdir -p "$work" "$artifacts" "$(dirname "$log")"
    dict=()
    [ -f "$here/dict/$t.dict" ] && dict=(-dict="$here/dict/$t.dict")
    "$bin" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$here/corpus/$t" >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    start=$(grep -m1 'INITED' "$log" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    end=$(grep -E '#[0-9]+.*cov: ' "$log" | tail -1 | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    count=$(find "$work" -type f | wc -l)
    result=ok
    if [ $rc -ne 0 ]; then
        result="FAILED (exit $rc, see $log)"
        status=1
    fi
    printf '%-20s %12s %10s %10s %8s  %s\n' "$t" "${execs:-?}" "${start:-?}" "${end:-?}" "$count" "$result"
done
exit $status
