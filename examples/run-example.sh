#!/usr/bin/env bash
# Builds talq and the FEFF stand-in, and runs the copper example in build-example/run with the stand-in
# in FEFF's place (the parameter file names it "feff85L").
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build-example" -DTALQ_TESTS=OFF >/dev/null
cmake --build "$root/build-example" -j"$(nproc)" --target talq feff_standin
run="$root/build-example/run"
rm -rf "$run"
mkdir -p "$run"
cp "$root"/examples/copper/* "$run"/
cp "$root/build-example/tools/feff_standin/feff_standin" "$run/feff85L"
cd "$run"
"$root/build-example/talq" copper.dat
