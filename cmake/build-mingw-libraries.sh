#!/bin/sh
# Builds the static libraries that vornalt.exe links, as MinGW-w64 objects
# from Debian's own source packages of the releases that the Linux build uses:
# libtwolame (twolame, the built-in encoder), liblzma (xz-utils), libFLAC
# (flac) and libzstd (libzstd, built by its own makefile), the codecs of CHD
# images; zlib comes built from Debian's
# libz-mingw-w64-dev. Installs into build-mingw-libraries/prefix, which
# cmake/mingw-w64.cmake searches. Nothing is downloaded but Debian's source
# packages.
# Usage: cmake/build-mingw-libraries.sh   (Debian; runs apt-get with sudo unless root)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work="$top/build-mingw-libraries"
prefix="$work/prefix"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
host=x86_64-w64-mingw32
mkdir -p "$prefix"

me=build-mingw-libraries
. "$top/cmake/debian-sources.sh"
tools="gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev"

# fetch SOURCE DEV_PACKAGE LIBRARY: unpacks the source package of the Linux
# package's release into $work/SOURCE and prints its version, or nothing when
# that release is built already.
fetch() {
    version=$(version_of "$2")
    if [ -f "$prefix/lib/$3" ] && [ "$(cat "$prefix/$1.version" 2>/dev/null)" = "$version" ]; then
        echo "$me: $1 $version for MinGW-w64 is in $prefix" >&2
        return 0
    fi
    # shellcheck disable=SC2086
    ready_sources "$1=$version" $tools >&2
    unpack_source "$1" "$version" "$work/$1"
    echo "$version"
}

# build SOURCE DEV_PACKAGE LIBRARY FOLDERS CONFIGURE_OPTIONS...: configures the
# source package for MinGW-w64 and installs the library and headers of its
# FOLDERS, unless that release is built already.
build() {
    source=$1 dev=$2 library=$3 folders=$4
    shift 4
    version=$(fetch "$source" "$dev" "$library")
    [ -n "$version" ] || return 0
    (
        cd "$work/$source/$source"-*/
        ./configure --host=$host --enable-static --disable-shared --prefix="$prefix" \
            CC=$host-gcc-posix CXX=$host-g++-posix CFLAGS=-O2 "$@"
        for folder in $folders; do
            make -C "$folder" -j2
            make -C "$folder" install
        done
    )
    echo "$version" > "$prefix/$source.version"
    echo "$me: $source $version for MinGW-w64 is in $prefix"
}

build twolame libtwolame-dev libtwolame.a libtwolame
build xz-utils liblzma-dev liblzma.a src/liblzma --disable-xz --disable-xzdec --disable-lzmadec \
    --disable-lzmainfo --disable-scripts --disable-doc --disable-nls --disable-threads
build flac libflac-dev libFLAC.a "src/libFLAC include" --disable-ogg --disable-cpplibs --disable-programs \
    --disable-examples --disable-doxygen-docs --disable-xmms-plugin --disable-stack-smash-protection
# libzstd has a makefile of its own: its static library alone, with the MinGW-w64 compiler.
version=$(fetch libzstd libzstd-dev libzstd.a)
if [ -n "$version" ]; then
    (
        cd "$work"/libzstd/libzstd-*/
        make -C lib -j2 libzstd.a CC=$host-gcc-posix AR=$host-ar CFLAGS=-O2
        mkdir -p "$prefix/lib" "$prefix/include"
        cp lib/libzstd.a "$prefix/lib/"
        cp lib/zstd.h lib/zstd_errors.h lib/zdict.h "$prefix/include/"
    )
    echo "$version" > "$prefix/libzstd.version"
    echo "$me: libzstd $version for MinGW-w64 is in $prefix"
fi
