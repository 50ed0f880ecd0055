#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (default 60 s),
# two at a time. Fails on any finding; crash inputs are left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
if ! command -v clang++ >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev
fi
CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -G Ninja >/dev/null
cmake --build build-fuzz -j"$(nproc)"
mkdir -p build-fuzz/findings build-fuzz/work
run_one() {
    local name=$1
    mkdir -p "build-fuzz/work/$name"
    if ./build-fuzz/"$name" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
        -artifact_prefix="build-fuzz/findings/$name-" "build-fuzz/work/$name" "fuzz/corpus/$name" \
        >"build-fuzz/$name.log" 2>&1; then
        echo "$name: $(grep -oE 'stat::number_of_executed_units: [0-9]+' "build-fuzz/$name.log" | grep -oE '[0-9]+') runs, $(grep -oE 'cov: [0-9]+' "build-fuzz/$name.log" | tail -1)"
    else
        echo "$name: FINDING" && tail -30 "build-fuzz/$name.log"
        return 1
    fi
}
export -f run_one
export seconds
ls build-fuzz | grep -E '^fuzz_[a-z_]+$' | xargs -P 2 -I{} bash -c 'run_one {}'
