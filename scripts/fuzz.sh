#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs one of them for a given time.
# usage: scripts/fuzz.sh TARGET SECONDS   (TARGET: store_fuzzer, property_list_fuzzer, ...)
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?target}
seconds=${2:-600}
build=${FUZZ_BUILD:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPALVARA_FUZZ=ON -DPALVARA_BENCH=OFF >/dev/null
cmake --build "$build" --target "$target"

seeds=("fuzz/corpus/$target")
if [[ "$target" =~ ^(store|check|save|scan|export)_fuzzer$ ]] && [ -d ../shared/testdata/stores ]; then
  seeds+=(../shared/testdata/stores)
fi
mkdir -p "$build/corpus/$target" "fuzz/corpus/$target" fuzz/artifacts
exec "$build/fuzz/$target" "$build/corpus/$target" "${seeds[@]}" \
  -max_total_time="$seconds" -max_len=1048576 -rss_limit_mb=4096 \
  -artifact_prefix=fuzz/artifacts/ -print_final_stats=1
