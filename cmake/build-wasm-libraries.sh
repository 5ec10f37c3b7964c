#!/bin/sh
# Builds the static libraries that the browser build of vornalt links, as
# WebAssembly objects made by Emscripten (Debian's emscripten package) from
# Debian's own source packages of the releases that the Linux build uses:
# libtwolame, liblzma (xz-utils), libFLAC (flac), zlib and libzstd; each twice,
# with threads (-pthread) and without, since the two builds of the page can't
# share objects. Installs into build-wasm-libraries/threads and
# build-wasm-libraries/plain, which CMake searches (-DVORNALT_WASM_LIBRARIES).
# Nothing is downloaded but Debian's source packages.
# Usage: cmake/build-wasm-libraries.sh   (Debian; runs apt-get with sudo unless root)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work="$top/build-wasm-libraries"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
mkdir -p "$work/src"
# Debian's emcc finds its node modules there when node is not Debian's own.
export NODE_PATH="${NODE_PATH:-/usr/share/nodejs}"

me=build-wasm-libraries
. "$top/cmake/debian-sources.sh"

# fetch SOURCE DEV_PACKAGE: the unpacked source package of the Linux package's
# release in $work/src/SOURCE (once); its version printed.
fetch() {
    version=$(version_of "$2")
    if [ "$(cat "$work/src/$1.version" 2>/dev/null)" != "$version" ]; then
        ready_sources "$1=$version" emscripten >&2
        unpack_source "$1" "$version" "$work/src/$1"
        echo "$version" > "$work/src/$1.version"
    fi
    echo "$version"
}

# A fresh copy of SOURCE's tree for one variant, its path printed.
tree_of() { # SOURCE VARIANT
    rm -rf "${work:?}/$2/build/$1"
    mkdir -p "$work/$2/build"
    cp -a "$work/src/$1" "$work/$2/build/$1"  # with its times: make remakes nothing
    ls -d "$work/$2/build/$1"/*/ | head -1
}

# build VARIANT CFLAGS SOURCE DEV_PACKAGE LIBRARY: one library for one variant, unless built already.
build() {
    variant=$1 cflags=$2 source=$3 dev=$4 library=$5
    prefix="$work/$variant"
    version=$(fetch "$source" "$dev")
    if [ -f "$prefix/lib/$library" ] && [ "$(cat "$prefix/$source.version" 2>/dev/null)" = "$version" ]; then
        echo "build-wasm-libraries: $source $version ($variant) is in $prefix"
        return 0
    fi
    dir=$(tree_of "$source" "$variant")
    (
        cd "$dir"
        case $source in
        twolame)
            emconfigure ./configure --host=wasm32 --enable-static --disable-shared --prefix="$prefix" CFLAGS="$cflags"
            emmake make -C libtwolame -j2 install ;;
        xz-utils)
            emconfigure ./configure --host=wasm32 --enable-static --disable-shared --prefix="$prefix" CFLAGS="$cflags" \
                --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-scripts --disable-doc \
                --disable-nls --disable-threads
            emmake make -C src/liblzma -j2 install ;;
        flac)
            emconfigure ./configure --host=wasm32 --enable-static --disable-shared --prefix="$prefix" CFLAGS="$cflags" \
                --disable-ogg --disable-cpplibs --disable-programs --disable-examples --disable-doxygen-docs \
                --disable-xmms-plugin --disable-stack-smash-protection --disable-asm-optimizations
            emmake make -C src/libFLAC -j2 install
            emmake make -C include -j2 install ;;
        zlib)
            CFLAGS="$cflags" emconfigure ./configure --static --prefix="$prefix"
            emmake make -j2 libz.a
            mkdir -p "$prefix/lib" "$prefix/include"
            cp libz.a "$prefix/lib/" && cp zlib.h zconf.h "$prefix/include/" ;;
        libzstd)
            emmake make -C lib -j2 libzstd.a CFLAGS="$cflags"
            mkdir -p "$prefix/lib" "$prefix/include"
            cp lib/libzstd.a "$prefix/lib/" && cp lib/zstd.h lib/zstd_errors.h lib/zdict.h "$prefix/include/" ;;
        esac
    )
    echo "$version" > "$prefix/$source.version"
    echo "build-wasm-libraries: $source $version ($variant) is in $prefix"
}

for variant in threads plain; do
    cflags="-O2"
    [ $variant = threads ] && cflags="-O2 -pthread"
    build $variant "$cflags" twolame libtwolame-dev libtwolame.a
    build $variant "$cflags" xz-utils liblzma-dev liblzma.a
    build $variant "$cflags" flac libflac-dev libFLAC.a
    build $variant "$cflags" zlib zlib1g-dev libz.a
    build $variant "$cflags" libzstd libzstd-dev libzstd.a
done
