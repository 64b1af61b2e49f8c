#!/usr/bin/env bash
# Long fuzz round over every reader: the same tests as the short round in the test suite
# (Readers/ReaderFuzz.*), with many more inputs, run in parallel chunks. Prints, per reader, the inputs
# tried and how they ended, then the failures found (and saves those inputs in the log folder).
#
# Usage: bench/fuzz_readers.sh [build folder] [inputs per reader] [seed] [chunks per reader]
#   bench/fuzz_readers.sh build-sanitize 100000 1
# A sanitizer build finds more (memory and undefined-behaviour errors abort the chunk); a plain build
# is several times faster.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
inputs=${2:-100000}
seed=${3:-1}
chunks=${4:-4}
tests="$build/talq_tests"
[ -x "$tests" ] || { echo "no $tests: build the project first"; exit 2; }

logs=$(mktemp -d "${TMPDIR:-/tmp}/talq-fuzz-XXXXXX")
readers=$("$tests" --gtest_list_tests --gtest_filter='Readers/ReaderFuzz.*' | awk '/^  /{sub(/.*\//, "", $1); print $1}')
echo "fuzzing $(echo "$readers" | wc -w) readers, $inputs inputs each (seed $seed), logs in $logs"

per_chunk=$(( (inputs + chunks - 1) / chunks ))
jobs=()
for reader in $readers; do
    for ((c = 0; c < chunks; c++)); do
        first=$((c * per_chunk))
        count=$(( inputs - first < per_chunk ? inputs - first : per_chunk ))
        [ "$count" -gt 0 ] && jobs+=("$reader $first $count")
    done
done

run_chunk() {
    local reader=$1 first=$2 count=$3
    TALQ_FUZZ_SEED=$seed TALQ_FUZZ_FIRST=$first TALQ_FUZZ_INPUTS=$count TALQ_FUZZ_ARTIFACTS=$logs \
        "$tests" --gtest_filter="Readers/ReaderFuzz.*/$reader" >"$logs/$reader-$first.log" 2>&1 ||
        echo "FAILED $reader from $first" >>"$logs/$reader-$first.log"
}
export -f run_chunk
export tests seed logs

start=$(date +%s)
printf '%s\n' "${jobs[@]}" | xargs -P "$(nproc)" -L 1 bash -c 'run_chunk $0 $1 $2'
echo "done in $(( $(date +%s) - start )) s"

# One row per reader: the chunk tallies summed.
printf "%-24s %9s %9s %9s %9s %s %9s\n" reader tried normal warning error "(by code)" failures
cat "$logs"/*.log | awk '
/^FUZZ / {
    r = $2; tried[r] += $4; normal[r] += $6; warning[r] += $8; error[r] += $10; failures[r] += $NF
    line = $0; sub(/.*\(/, "", line); sub(/\).*/, "", line)
    n = split(line, parts, ", ")
    for (i = 1; i <= n; i++) if (split(parts[i], kv, ": ") == 2) { sub(/code /, "", kv[1]); codes[r, kv[1]] += kv[2]; seen[kv[1]] = 1 }
}
END {
    for (r in tried) {
        by = ""
        for (c in seen) if ((r, c) in codes) by = by (by == "" ? "" : " ") c ":" codes[r, c]
        printf "%-24s %9d %9d %9d %9d (%s) %9d\n", r, tried[r], normal[r], warning[r], error[r], by, failures[r]
    }
}' | sort
if grep -l -e '^FAILED' -e 'Failure' "$logs"/*.log >/dev/null 2>&1; then
    echo "FAILURES (see the logs in $logs):"
    grep -h -A3 -e 'TALQ_FUZZ_FIRST=' -e '^FAILED' -e 'FUZZ HANG' -e 'ERROR: AddressSanitizer' -e 'runtime error' "$logs"/*.log | head -100
    # A chunk that died in a reader names the input it was reading.
    for log in "$logs"/*.log; do
        grep -q '^FAILED' "$log" || continue
        chunk=$(basename "$log" .log)
        note="$logs/${chunk%-*}-$seed-${chunk##*-}.current"
        [ -f "$note" ] && echo "  died in: $(cat "$note")"
    done
    exit 1
fi
