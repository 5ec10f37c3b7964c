#!/bin/sh
# Makes examples/sample.sfd: five seconds of ffmpeg's test card as MPEG-1
# video and a 440 Hz tone as ADX audio, muxed by the project's fixture builder.
# Usage: examples/make_sample.sh [BUILD_DIR]   (needs ffmpeg and a built make_sfd)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-"$here/../build"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=30000/1001 -t 5 \
    -c:v mpeg1video -b:v 900k -bf 0 -g 15 -f mpeg1video "$work/video.m1v"
ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 -t 5 \
    -ac 2 -c:a adpcm_adx -f adx "$work/audio.adx"
"$build/make_sfd" "$work/video.m1v" "$work/audio.adx" "$here/sample.sfd"
ls -l "$here/sample.sfd"
