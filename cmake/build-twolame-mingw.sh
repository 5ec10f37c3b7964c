#!/bin/sh
# Builds the static libtwolame that vornalt.exe links: MinGW-w64 objects from
# Debian's own twolame source package, of the release of the installed
# libtwolame-dev, so that the Linux and the Windows builds encode with one
# release. Installs into build-twolame-mingw/prefix, which
# cmake/mingw-w64.cmake searches. Nothing is downloaded but Debian's source
# package.
# Usage: cmake/build-twolame-mingw.sh   (Debian; runs apt-get with sudo unless root)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work="$top/build-twolame-mingw"
prefix="$work/prefix"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo

version=$(dpkg-query -W -f '${Version}' libtwolame-dev 2>/dev/null) || {
    echo "build-twolame-mingw: install libtwolame-dev first (apt-get install libtwolame-dev)" >&2
    exit 1
}
if [ -f "$prefix/lib/libtwolame.a" ] && [ "$(cat "$prefix/version" 2>/dev/null)" = "$version" ]; then
    echo "build-twolame-mingw: libtwolame $version for MinGW-w64 is in $prefix"
    exit 0
fi

# Source entries for the suites that the binary entries name, once.
if ! apt-get source --print-uris "twolame=$version" 2>/dev/null | grep -q "\.dsc"; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: .*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $sudo tee /etc/apt/sources.list.d/vornalt-deb-src.sources >/dev/null
    else
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list |
            $sudo tee /etc/apt/sources.list.d/vornalt-deb-src.list >/dev/null
    fi
    $sudo apt-get update
fi
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y dpkg-dev make gcc-mingw-w64-x86-64-posix

rm -rf "$work"
mkdir -p "$work"
cd "$work"
apt-get source "twolame=$version"
cd twolame-*/
./configure --host=x86_64-w64-mingw32 --enable-static --disable-shared --prefix="$prefix" \
    CC=x86_64-w64-mingw32-gcc-posix CFLAGS=-O2
make -C libtwolame -j2
make -C libtwolame install
echo "$version" > "$prefix/version"
echo "build-twolame-mingw: libtwolame $version for MinGW-w64 is in $prefix"
