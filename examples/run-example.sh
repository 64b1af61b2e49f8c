#!/usr/bin/env bash
# Builds talq and runs the copper example in build-example/run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build-example" -DTALQ_TESTS=OFF >/dev/null
cmake --build "$root/build-example" -j"$(nproc)" --target talq
run="$root/build-example/run"
rm -rf "$run"
mkdir -p "$run"
cp "$root"/examples/copper/* "$run"/
cd "$run"
"$root/build-example/talq" copper.dat
