#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60): fuzz_vornalt (the passes) and fuzz_disc (the disc layer). A finding
# stops the run with a non-zero status; its input is saved under
# fuzz/regressions/, where the normal tests replay it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
CXX=clang++ cmake -S "$top" -B "$build" -DVORNALT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target fuzz_vornalt fuzz_disc
for target in vornalt disc; do
    mkdir -p "$build/corpus-$target" "$build/findings"
    if ! "$build/fuzz/fuzz_$target" -max_total_time="${1:-60}" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$build/findings/" "$build/corpus-$target" "$top/fuzz/seeds/$target" \
        "$top/fuzz/regressions"; then
        cp "$build/findings/"* "$top/fuzz/regressions/" 2>/dev/null || true
        echo "fuzz_$target found a failing input; saved under fuzz/regressions/" >&2
        exit 1
    fi
done
