#!/bin/sh
# Installs what is missing (Debian 12), builds vornalt and converts the bundled
# sample movie: examples/sample.sfd becomes examples/sample.mpg.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

# Build tools, libtwolame for the built-in encoder, zlib, liblzma, libFLAC and libzstd
# for CHD images, and what the test suite
# uses (GoogleTest, ffmpeg, the twolame program to compare the built-in with,
# lame, valgrind, strace to inject read errors and hold up reads, procps for pgrep,
# genisoimage and chdman to make disc images).
packages="cmake g++ make libtwolame-dev zlib1g-dev liblzma-dev libflac-dev libzstd-dev libgtest-dev ffmpeg twolame lame valgrind
strace procps genisoimage mame-tools"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y $missing
fi

# chdman 0.289 for the tests of recent chdman's CHD layouts: a static build
# that npm (Debian's nodejs and npm where there is none) installs, pinned, into
# tests/tools.
if ! command -v npm >/dev/null; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y nodejs npm
fi
npm ci --prefix "$top/tests/tools" --no-audit --no-fund

cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$top/build" -j2 --target vornalt
# The temporary files tmp.wav and tmp.mp3 land in the current folder.
cd "$top/examples"
"$top/build/vornalt" sample.sfd
echo
ls -l sample.mpg
