# What the scripts that build libraries from Debian's source packages share
# (build-mingw-libraries.sh, build-wasm-libraries.sh); sourced by them after
# they set $me (their name, for messages) and $sudo.

# The release of a library's Linux package: the source package of the same
# version is built.
version_of() { # DEV_PACKAGE
    dpkg-query -W -f '${Version}' "$1" 2>/dev/null || {
        echo "$me: install $1 first (apt-get install $1)" >&2
        exit 1
    }
}

# Source entries for the suites that the binary entries name, and the
# packages that the build needs, once.
sources_ready=""
ready_sources() { # SOURCE=VERSION PACKAGE...
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
    shift
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y dpkg-dev make "$@"
    sources_ready=yes
}

# Unpacks the source package SOURCE of release VERSION into FOLDER (made
# afresh); where the archive lacks that release's source (a security
# update's, at times), the other release that it has, said on stderr.
unpack_source() { # SOURCE VERSION FOLDER
    rm -rf "${3:?}"
    mkdir -p "$3"
    for release in "$2" $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | grep -vxF "$2"); do
        if (cd "$3" && apt-get source "$1=$release" >&2); then
            [ "$release" = "$2" ] || echo "$me: the archive lacks the source of $1 $2; building $release" >&2
            return 0
        fi
    done
    echo "$me: no source of $1 in the archive" >&2
    exit 1
}
