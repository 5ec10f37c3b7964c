#!/bin/sh
# vornalt.exe under Wine against the Linux build: the same tmp.wav, outputs and
# messages for the sample and a fixture, again over those outputs beside an
# input that is a folder, out of a GD-ROM image and CHDs of it (chdman's, and
# one of the layout of later chdman, one of Zstandard), out of a CD-format disc's cue sheet and
# DiscJuggler image, in order and side by side (-j 2, no
# temporary files left), the same tmp.mp3 and outputs from the built-in
# encoder, -o joined with a backslash, the same refusals of inputs named like
# its temporary files or its output (left as they were), wildcards, a
# drive-letter path with blanks, the missing-encoder hint.
# Usage: tests/windows.sh LINUX_BUILD WINDOWS_BUILD   (needs wine, genisoimage, chdman, and chdman 0.289 in
# tests/tools: npm ci --prefix tests/tools)
set -eu
top="$(cd "$(dirname "$0")/.." && pwd)"
linux="$(cd "$1" && pwd)" exe="$(cd "$2" && pwd)/vornalt.exe" sample="$top/examples/sample.sfd" fixtures="$top/tests/fixtures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
cd "$work"
mkdir lin win
cp "$fixtures/m22.sfd" lin/late.sfd  # 22050 Hz mono, stamped from just below 2^22 ticks
cp "$fixtures/prepared.mp2" lin/
printf 'cp prepared.mp2 "$2"\n' > lin/enc
printf '@copy /y prepared.mp2 %%2 >nul\r\n' > lin/enc.bat
chmod +x lin/enc
cp "$sample" lin/
cp lin/* win/
both() { # FOLDER ARGS...: both builds convert in their copy of FOLDER with the same messages
    (cd "lin/$1" && shift && { "$linux/vornalt" -c ./enc "$@" || echo "status $?"; } > out.txt 2>&1)
    (cd "win/$1" && shift && { wine "$exe" -c enc.bat "$@" || echo "status $?"; } > out.txt 2>&1)
    cmp "lin/$1/out.txt" "win/$1/out.txt"
}
both . sample.sfd late.sfd
for f in tmp.wav sample.mpg late.mpg; do cmp "lin/$f" "win/$f"; done
# Again, over the outputs, which are replaced whole, beside an input that is a folder.
mkdir lin/adir.SFD win/adir.SFD
both . adir.SFD sample.sfd
cmp lin/sample.mpg win/sample.mpg
test -z "$(ls -A win | grep '^[.]')"
# Side by side: the same outputs and messages, no temporary files here or in %TEMP%.
for d in lin win; do mkdir "$d/j2" && cp "$d"/enc* "$d"/prepared.mp2 "$d"/*.sfd "$d/j2"; done
both j2 -j 2 sample.sfd late.sfd
for f in sample.mpg late.mpg; do cmp "lin/$f" "win/j2/$f"; done
test -z "$(ls win/j2/tmp.* 2>/dev/null)"
temp=$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')")
test -z "$(ls -d "$temp"/vornalt-* 2>/dev/null)"
# The built-in encoder, at its default rate in order and at -b 96 side by side.
for d in lin win; do mkdir "$d/builtin" "$d/builtin-j2" && cp "$d"/*.sfd "$d/builtin" && cp "$d"/*.sfd "$d/builtin-j2"; done
(cd lin/builtin && "$linux/vornalt" late.sfd sample.sfd > out.txt 2>&1)
(cd lin/builtin-j2 && "$linux/vornalt" -j 2 -b 96 late.sfd sample.sfd > out.txt 2>&1)
(cd win/builtin && wine "$exe" late.sfd sample.sfd > out.txt 2>&1)
(cd win/builtin-j2 && wine "$exe" -j 2 -b 96 late.sfd sample.sfd > out.txt 2>&1)
for f in builtin/out.txt builtin/tmp.wav builtin/tmp.mp3 builtin/late.mpg builtin/sample.mpg builtin-j2/out.txt \
    builtin-j2/late.mpg builtin-j2/sample.mpg; do cmp "lin/$f" "win/$f"; done
(cd win && mkdir out && wine "$exe" -c enc.bat -o out sample.sfd | grep -qF 'sample.sfd -> out\sample.mpg' && cmp out/sample.mpg ../lin/sample.mpg)
for name in tmp.wav tmp.mp3 X.mpg; do
    for d in lin win; do (mkdir "$d/$name.d" && cp "$d"/enc* "$d"/prepared.mp2 "$d/$name.d" && cp "$sample" "$d/$name.d/$name"); done
    both "$name.d" "$name"
    grep -q "status 1" "win/$name.d/out.txt"
    cmp "$sample" "win/$name.d/$name"
done
# A GD-ROM image of the two movies, its path written with backslashes on
# Windows, side by side: the same outputs and messages (paths aside).
mkdir lin/gd win/gd
(cd lin/gd && mkdir -p tree/MOVIE && cp ../sample.sfd tree/MOVIE/SAMPLE.SFD && cp ../late.sfd tree/MOVIE/LATE.SFD &&
    genisoimage -quiet -C 0,45000 -o hd.iso tree 2>/dev/null && "$linux/make_disc" hd.iso . && rm -rf tree hd.iso)
cp lin/gd/* win/gd/
(cd lin && { "$linux/vornalt" -j 2 -c ./enc gd/disc.gdi || echo "status $?"; } > gd.txt 2>&1)
(cd win && { wine "$exe" -j 2 -c enc.bat 'gd\disc.gdi' || echo "status $?"; } > gd.txt 2>&1)
grep -q "^gd/disc.gdi/MOVIE/LATE.SFD -> gd/disc/MOVIE/LATE.mpg$" lin/gd.txt
tr '\\' / < win/gd.txt | cmp lin/gd.txt -
for f in LATE SAMPLE; do cmp "lin/gd/disc/MOVIE/$f.mpg" "win/gd/disc/MOVIE/$f.mpg"; done
cmp lin/sample.mpg win/gd/disc/MOVIE/SAMPLE.mpg
# The same disc as a CHD of chdman's default codecs.
chdman createcd -i lin/gd/disc.gdi -o lin/gd.chd >/dev/null 2>&1
cp lin/gd.chd win/
(cd lin && { "$linux/vornalt" -c ./enc gd.chd || echo "status $?"; } > chd.txt 2>&1)
(cd win && { wine "$exe" -c enc.bat gd.chd || echo "status $?"; } > chd.txt 2>&1)
grep -q "^gd.chd/MOVIE/LATE.SFD -> gd/MOVIE/LATE.mpg$" lin/chd.txt
tr '\\' / < win/chd.txt | cmp lin/chd.txt -
cmp lin/gd/MOVIE/SAMPLE.mpg win/gd/MOVIE/SAMPLE.mpg
cmp lin/sample.mpg win/gd/MOVIE/SAMPLE.mpg
# The same disc as a CHD of the layout of chdman after pull request 15870: the
# gaps are pregaps that take addresses but no frames.
(cd lin/gd && "$linux/make_chd" ../pregap.chd CHGD MODE1_RAW,0,MODE1,0,track01.bin AUDIO,300,AUDIO,0,track02.raw \
    MODE1_RAW,44100,MODE1,0,track03.bin)
cp lin/pregap.chd win/
(cd lin && { "$linux/vornalt" -c ./enc pregap.chd || echo "status $?"; } > pregap.txt 2>&1)
(cd win && { wine "$exe" -c enc.bat pregap.chd || echo "status $?"; } > pregap.txt 2>&1)
grep -q "^pregap.chd/MOVIE/LATE.SFD -> pregap/MOVIE/LATE.mpg$" lin/pregap.txt
tr '\\' / < win/pregap.txt | cmp lin/pregap.txt -
for f in LATE SAMPLE; do cmp "lin/pregap/MOVIE/$f.mpg" "win/pregap/MOVIE/$f.mpg"; done
cmp lin/sample.mpg win/pregap/MOVIE/SAMPLE.mpg
# The disc as a CHD of Zstandard (cdzs), made by chdman 0.289 (npm ci --prefix tests/tools).
"$top/tests/tools/node_modules/@emmercm/chdman-linux-x64/dist/chdman" createcd -c cdzs -i lin/gd/disc.gdi \
    -o lin/zs.chd >/dev/null 2>&1
cp lin/zs.chd win/
(cd lin && { "$linux/vornalt" -c ./enc zs.chd || echo "status $?"; } > zs.txt 2>&1)
(cd win && { wine "$exe" -c enc.bat zs.chd || echo "status $?"; } > zs.txt 2>&1)
grep -q "zs.chd/MOVIE/SAMPLE.SFD -> zs/MOVIE/SAMPLE.mpg$" lin/zs.txt
tr '\\' / < win/zs.txt | cmp lin/zs.txt -
for f in LATE SAMPLE; do cmp "lin/zs/MOVIE/$f.mpg" "win/zs/MOVIE/$f.mpg"; done
cmp lin/sample.mpg win/zs/MOVIE/SAMPLE.mpg
# A CD-format disc (audio, then the data track in a second session) as a cue
# sheet and as a DiscJuggler image.
mkdir lin/cdf
(cd lin/cdf && mkdir -p tree/MOVIE && cp ../sample.sfd tree/MOVIE/SAMPLE.SFD && cp ../late.sfd tree/MOVIE/LATE.SFD &&
    genisoimage -quiet -C 0,11702 -o cd.iso tree 2>/dev/null && "$linux/make_disc" cd.iso . cd 11702 &&
    "$linux/make_cdi" ../cdf.cdi 3.5 2336 "1,0,Track 1.bin" "2,11702,Track 2.bin" && rm -rf tree cd.iso)
mkdir win/cdf && cp lin/cdf/* win/cdf/ && cp lin/cdf.cdi win/
(cd lin && { "$linux/vornalt" -c ./enc cdf/disc.cue cdf.cdi || echo "status $?"; } > cdf.txt 2>&1)
(cd win && { wine "$exe" -c enc.bat 'cdf\disc.cue' cdf.cdi || echo "status $?"; } > cdf.txt 2>&1)
grep -q "cdf.cdi/MOVIE/SAMPLE.SFD -> cdf/MOVIE/SAMPLE.mpg$" lin/cdf.txt
tr '\\' / < win/cdf.txt | cmp lin/cdf.txt -
for f in disc/MOVIE/LATE disc/MOVIE/SAMPLE MOVIE/LATE MOVIE/SAMPLE; do cmp "lin/cdf/$f.mpg" "win/cdf/$f.mpg"; done
cmp lin/sample.mpg win/cdf/MOVIE/SAMPLE.mpg
cd win
mkdir glob "a b"
cp enc.bat prepared.mp2 ./*.sfd glob/
cp sample.sfd "a b/m v.sfd"
(cd glob && wine "$exe" -c enc.bat '*.sfd' > /dev/null && cmp sample.mpg ../sample.mpg && cmp late.mpg ../late.mpg)
wine "$exe" -c enc.bat "Z:$(pwd | tr / '\\')\\a b\\m v.sfd" > /dev/null
cmp "m v.mpg" sample.mpg
wine "$exe" -c no-such-encoder sample.sfd 2>&1 >/dev/null | grep -q -- "leave -c out for the built-in one"
echo "windows: vornalt.exe matches the Linux build"
