#!/usr/bin/env bash
# Long check: the tests that run work on several threads (the fork-join sections, the transforms of
# several states at once, the evaluations and sweeps, whole refinements at different thread counts),
# built with the thread sanitizer. Any data race it reports fails the round. Takes about half an hour on
# 8 cores (most of it the whole-run tests).
#
# Usage: bench/thread_sanitizer.sh [build folder] [test regex]
#   bench/thread_sanitizer.sh build-tsan
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-tsan}
tests=${2:-'Thread|Wavelet|Population|Metropolis|Evolution|StateExafs|Cluster|Residual|Evaluation|Refinement|Restart|OneDimensional'}
jobs=$(nproc)

cmake -S . -B "$build" -DTALQ_WERROR=ON -DTALQ_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$build" --output-on-failure -j"$jobs" -R "$tests"
