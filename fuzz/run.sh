#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60). Any finding stops the run with a non-zero status; its input is saved
# under fuzz/regressions/TARGET/, where the normal tests replay it.
# Usage: fuzz/run.sh [SECONDS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$top/build-fuzz"

CXX=clang++ cmake -S "$top" -B "$build" -DVORNALT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2
rm -rf "$build/seeds"
"$build/fuzz/make_corpus" "$build/seeds"

for target in pass1 pass2 audio_info; do
    mkdir -p "$build/corpus-$target" "$build/findings-$target"
    if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$build/findings-$target/" \
        "$build/corpus-$target" "$build/seeds/$target" "$top/fuzz/regressions/$target"; then
        cp "$build/findings-$target/"* "$top/fuzz/regressions/$target/" 2>/dev/null || true
        echo "fuzz_$target found a failing input; saved under fuzz/regressions/$target/" >&2
        exit 1
    fi
done
echo "fuzzing: no findings (${seconds}s per target)"
