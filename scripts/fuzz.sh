#!/bin/sh
# Builds the libFuzzer harnesses (preset fuzz: clang, ASan + UBSan) and runs
# each for a bounded time.
#
#   scripts/fuzz.sh [HARNESS|all] [SECONDS]     default: all, 30 seconds each
#
# Each run starts from the committed seeds (tests/fuzz/corpus/HARNESS) and
# the regression inputs (tests/fuzz/regressions/HARNESS) plus what earlier
# runs found (build/fuzz/corpus-work/HARNESS, never committed). A crashing
# or faulty input is written to build/fuzz/artifacts/HARNESS/; the script
# goes on with the other harnesses and exits 1. Keep such an input as
# tests/fuzz/regressions/HARNESS/<name> once the fault is fixed.
#
# Limits per run: -max_total_time=SECONDS, -timeout=10 (one input),
# -rss_limit_mb=2048, -max_len as the harness declares.
set -eu
cd "$(dirname "$0")/.."

harness=${1:-all}
seconds=${2:-30}
case $seconds in
'' | *[!0-9]*) echo "usage: $0 [HARNESS|all] [SECONDS]" >&2; exit 2 ;;
esac
[ "$seconds" -ge 1 ] || { echo "$0: SECONDS must be at least 1" >&2; exit 2; }

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

list=build/fuzz/tests/fuzz/harnesses.txt
if [ ! -s "$list" ]; then
    echo "$0: no harnesses listed in $list" >&2
    exit 1
fi
if [ "$harness" != all ] && ! grep -q "^$harness " "$list"; then
    echo "$0: unknown harness '$harness'; known: $(cut -d' ' -f1 "$list" | tr '\n' ' ')" >&2
    exit 2
fi

failed=""
summary=""
while read -r name program max_len; do
    [ "$harness" = all ] || [ "$harness" = "$name" ] || continue
    work=build/fuzz/corpus-work/$name
    artifacts=build/fuzz/artifacts/$name
    mkdir -p "$work" "$artifacts"
    seeds=tests/fuzz/corpus/$name
    regressions=""
    [ -d "tests/fuzz/regressions/$name" ] && regressions=tests/fuzz/regressions/$name
    log=build/fuzz/artifacts/$name.log
    echo "=== fuzz $name: $seconds s"
    start=$(date +%s)
    # -close_fd_mask=2: the harnesses' own stderr chatter is dropped;
    # libFuzzer and the sanitizers still report on the real stderr.
    # shellcheck disable=SC2086
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$max_len" -close_fd_mask=2 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" "$seeds" $regressions \
        </dev/null >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        failed="$failed $name"
        tail -n 60 "$log" >&2
    fi
    end=$(date +%s)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    corpus=$(sed -n 's/.*\(cov: [0-9]* ft: [0-9]* corp: [0-9]*\/[^ ]*\).*/\1/p' "$log" | tail -n 1)
    line="$name: $result, ${execs:-?} executions in $((end - start)) s ($corpus)"
    echo "$line"
    summary="$summary
  $line"
done <"$list"

echo "=== fuzz summary:$summary"
if [ -n "$failed" ]; then
    echo "fuzzing found faults in:$failed; inputs in build/fuzz/artifacts/" >&2
    exit 1
fi
