#!/bin/sh
# vornalt.exe under Wine against the Linux build: the same tmp.wav, output and
# standard output for the sample and a fixture, the same refusals of inputs
# that are its temporary files or its output (left as they were), wildcards,
# backslash and drive-letter paths with blanks, the missing-encoder hint.
# Usage: tests/windows.sh LINUX_BUILD WINDOWS_BUILD   (needs wine, ffmpeg)
set -eu
linux="$(cd "$1" && pwd)/vornalt" exe="$(cd "$2" && pwd)/vornalt.exe" top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
cd "$work"
mkdir lin win
ffmpeg -nostdin -v error -f lavfi -i sine=frequency=1000:sample_rate=22050 -t 3 -ac 1 -c:a adpcm_adx -f adx a.adx
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25 -t 3 -c:v mpeg1video -bf 0 -f mpeg1video v.m1v
"$(dirname "$linux")/make_sfd" v.m1v a.adx lin/late.sfd 22500
ffmpeg -nostdin -v error -f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 -ac 2 -c:a mp2 -b:a 64k lin/prepared.mp2
cp "$top/examples/sample.sfd" lin/
printf 'cp prepared.mp2 "$2"\n' > lin/enc && chmod +x lin/enc
printf '@copy /y prepared.mp2 %%2 >nul\r\n' > lin/enc.bat
cp lin/* win/
run() { # DIR ARGS...: both builds in their folders, the same output expected
    dir=$1 && shift
    (cd lin/"$dir" && "$linux" -c ./enc "$@" > out.txt 2>&1 || echo "status $?" >> out.txt)
    (cd win/"$dir" && wine "$exe" -c enc.bat "$@" > out.txt 2>&1 || echo "status $?" >> out.txt)
    cmp lin/"$dir"/out.txt win/"$dir"/out.txt
}
run . sample.sfd late.sfd
for f in tmp.wav sample.mpg late.mpg out.txt; do cmp "lin/$f" "win/$f"; done
for name in tmp.wav tmp.mp3 X.mpg; do
    for d in lin win; do mkdir -p "$d/$name.d" && cp "$d"/enc* "$d"/prepared.mp2 "$d/$name.d" && cp "$top/examples/sample.sfd" "$d/$name.d/$name"; done
    run "$name.d" "$name"
    grep -q "status 1" win/"$name.d"/out.txt
    cmp "$top/examples/sample.sfd" "win/$name.d/$name"
done
mkdir -p win/glob "win/a b" && cp win/enc.bat win/prepared.mp2 win/glob/ && cp win/*.sfd win/glob/ && cp win/sample.sfd "win/a b/m v.sfd"
(cd win/glob && wine "$exe" -c enc.bat '*.sfd' > /dev/null && cmp sample.mpg ../sample.mpg && cmp late.mpg ../late.mpg)
(cd win && wine "$exe" -c enc.bat "Z:$(pwd | tr / '\\')\\a b\\m v.sfd" > /dev/null && cmp "m v.mpg" sample.mpg)
(cd win && wine "$exe" -c no-such-encoder sample.sfd 2>&1 >/dev/null | grep -q -- "-c twolame")
echo "windows: vornalt.exe matches the Linux build"
