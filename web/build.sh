#!/bin/sh
# Builds the page into build-web/: both builds of vornalt for the browser (with
# threads and without), after the libraries that cmake/build-wasm-libraries.sh
# builds, and the page's own files.
# Usage: web/build.sh   (then: python3 web/serve.py build-web)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
export NODE_PATH="${NODE_PATH:-/usr/share/nodejs}"
"$top/cmake/build-wasm-libraries.sh"
for variant in threads plain; do
    threads=ON
    [ $variant = plain ] && threads=OFF
    emcmake cmake -S "$top" -B "$top/build-wasm-$variant" -DCMAKE_BUILD_TYPE=Release -DVORNALT_WASM_THREADS=$threads "$@"
    cmake --build "$top/build-wasm-$variant" -j2 --target vornalt
done
rm -rf "$top/build-web"
mkdir -p "$top/build-web"
cp "$top/web/index.html" "$top/web/worker.js" "$top/web/style.css" "$top/build-web/"
cp "$top/build-wasm-threads/vornalt-threads.js" "$top/build-wasm-threads/vornalt-threads.wasm" \
    "$top/build-wasm-threads/vornalt-threads.worker.js" "$top/build-wasm-plain/vornalt-plain.js" \
    "$top/build-wasm-plain/vornalt-plain.wasm" "$top/build-web/"
echo "web/build.sh: the page is in build-web/"
