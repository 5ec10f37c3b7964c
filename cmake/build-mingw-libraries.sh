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

# The release of each library's Linux package: the source package of the same version is built.
version_of() { # DEV_PACKAGE
    dpkg-query -W -f '${Version}' "$1" 2>/dev/null || {
        echo "build-mingw-libraries: install $1 first (apt-get install $1)" >&2
        exit 1
    }
}

# Source entries for the suites that the binary entries name, once.
sources_ready=""
ready_sources() { # SOURCE=VERSION
    [ -n "$sources_ready" ] && return 0
    if ! apt-get source --print-uris "$1" 2>/dev/null | grep -q "\.dsc"; then
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            sed 's/^Types: .*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
                $sudo tee /etc/apt/sources.list.d/vornalt-deb-src.sources >/dev/null
        else
            sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list |
                $sudo tee /etc/apt/sources.list.d/vornalt-deb-src.list >/dev/null
        fi
        $sudo apt-get update
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y dpkg-dev make gcc-mingw-w64-x86-64-posix \
        g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    sources_ready=yes
}

# fetch SOURCE DEV_PACKAGE LIBRARY: unpacks the source package of the Linux
# package's release into $work/SOURCE and prints its version, or nothing when
# that release is built already. Where the archive lacks that release's
# source (a security update's, at times), the other release it has is built.
fetch() {
    version=$(version_of "$2")
    if [ -f "$prefix/lib/$3" ] && [ "$(cat "$prefix/$1.version" 2>/dev/null)" = "$version" ]; then
        echo "build-mingw-libraries: $1 $version for MinGW-w64 is in $prefix" >&2
        return 0
    fi
    ready_sources "$1=$version" >&2
    rm -rf "${work:?}/$1"
    mkdir -p "$work/$1"
    for release in "$version" $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | grep -vxF "$version"); do
        if (cd "$work/$1" && apt-get source "$1=$release" >&2); then
            [ "$release" = "$version" ] ||
                echo "build-mingw-libraries: the archive lacks the source of $1 $version; building $release" >&2
            echo "$version"
            return 0
        fi
    done
    echo "build-mingw-libraries: no source of $1 in the archive" >&2
    exit 1
}

# build SOURCE DEV_PACKAGE LIBRARY FOLDERS CONFIGURE_OPTIONS...: configures the
# source package for MinGW-w64 and installs the library and headers of its
# FOLDERS, unless that release is built already.
build() {
    source=$1 dev=$2 library=$3 folders=$4
    shift 4
    version=$(version_of "$dev")
    if [ -f "$prefix/lib/$library" ] && [ "$(cat "$prefix/$source.version" 2>/dev/null)" = "$version" ]; then
        echo "build-mingw-libraries: $source $version for MinGW-w64 is in $prefix"
        return 0
    fi
    ready_sources "$source=$version"
    rm -rf "$work/$source"
    mkdir -p "$work/$source"
    (
        cd "$work/$source"
        apt-get source "$source=$version"
        cd "$source"-*/
        ./configure --host=$host --enable-static --disable-shared --prefix="$prefix" \
            CC=$host-gcc-posix CXX=$host-g++-posix CFLAGS=-O2 "$@"
        for folder in $folders; do
            make -C "$folder" -j2
            make -C "$folder" install
        done
    )
    echo "$version" > "$prefix/$source.version"
    echo "build-mingw-libraries: $source $version for MinGW-w64 is in $prefix"
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
    echo "build-mingw-libraries: libzstd $version for MinGW-w64 is in $prefix"
fi
