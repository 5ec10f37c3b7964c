#!/bin/sh
# Benchmark: the program's own two passes against an I/O floor that moves the
# same bytes (reads the input twice, writes a WAV file and an output of the
# sizes the program writes, runs the same stand-in encoder), for a ~20 MB and
# a ~200 MB movie, side by side in one run; cp and dd for scale; peak memory.
# Then the built-in encoder end to end on the large movie (on every processor,
# and with -j 1 on one) against twolame alone on the same WAV file and against
# the one-shot conversion by ffmpeg, and
# a batch: six ~20 MB movies encoded by twolame, -j 2 against -j 1; and a
# disc: twenty ~10 MB movies out of a GDI image of raw sectors against the
# same movies as files, -j 0, with the stand-in encoder, and that disc as a
# CHD against extracting it with chdman and converting the GDI (with -j 0 and
# without), and as a CHD of Zstandard against the GDI itself; then the page in
# headless Chromium against the native build.
# Usage: bench/run.sh [RUNS]   (needs ffmpeg, twolame, genisoimage, chdman and bc; builds a Release vornalt)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
build="$top/build-bench"
work="$top/bench/work"
mkdir -p "$work"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORNALT_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vornalt make_sfd make_disc >/dev/null

# A 45-second piece of video, repeated to make long movies; ADX audio and the
# prepared MPEG audio last as long as the video.
cd "$work"
piece=45
# Noise keeps the video at a game movie's constant 1.5 Mbit/s, so the movie is
# mostly video, as SFD movies are.
[ -f piece.m1v ] || ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=352x240:rate=30000/1001 -t $piece \
    -vf noise=alls=20:allf=t+u -c:v mpeg1video -b:v 1500k -minrate 1500k -maxrate 1500k -bufsize 1000k \
    -bf 0 -g 15 -f mpeg1video piece.m1v
make_movie() { # NAME REPEATS
    [ -f "$1.sfd" ] && return 0
    seconds=$(( $2 * piece ))
    : > "$1.m1v"
    i=0; while [ $i -lt "$2" ]; do cat piece.m1v >> "$1.m1v"; i=$((i + 1)); done
    ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 -t $seconds -ac 2 \
        -c:a adpcm_adx -f adx "$1.adx"
    ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 -t $seconds -ac 2 \
        -c:a mp2 -b:a 192k -f mp2 "$1.mp2"
    "$build/make_sfd" "$1.m1v" "$1.adx" "$1.sfd"
    rm -f "$1.m1v" "$1.adx"
}
make_movie small 2
make_movie large 20

# The "encoder": copies the prepared MPEG audio of the movie into place.
cat > copy_encoder <<'SH'
#!/bin/sh
cp "${MOVIE%.sfd}.mp2" "$2"
SH
chmod +x copy_encoder

seconds_of() { # command...; prints wall seconds
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { echo "scale=2; $1 / $2" | bc; }
peak_kib() { # command...; prints the peak resident set in KiB
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }'
}

echo "machine:  $(nproc) cores, $(awk '/model name/ { sub(/.*: /, ""); print; exit }' /proc/cpuinfo)"
for movie in small large; do
    export MOVIE="$movie.sfd"
    cat "$movie.sfd" > /dev/null  # into the page cache, as for every later run
    rm -f tmp.wav tmp.mp3 "$movie.mpg"
    "$build/vornalt" -c ./copy_encoder "$movie.sfd" >/dev/null 2>&1 || true
    wav_bytes=$(stat -c %s tmp.wav)
    out_bytes=$(stat -c %s "$movie.mpg")
    # The floor: the same reads, writes and encoder run, without any work on the bytes.
    cat > io_floor <<SH
#!/bin/sh
cat $movie.sfd > /dev/null
head -c $wav_bytes /dev/zero > floor.wav
./copy_encoder floor.wav floor.mp3
cat $movie.sfd floor.mp3 > /dev/null
head -c $out_bytes /dev/zero > floor.mpg
SH
    chmod +x io_floor
    v_times=""; f_times=""; c_times=""; d_times=""
    i=0
    while [ $i -lt "$runs" ]; do
        # Every run writes fresh files, as a first conversion does.
        rm -f floor.wav floor.mp3 floor.mpg
        f_times="$f_times $(seconds_of ./io_floor)"
        rm -f floor.wav floor.mp3 floor.mpg tmp.wav tmp.mp3 "$movie.mpg"
        v_times="$v_times $(seconds_of "$build/vornalt" -c ./copy_encoder "$movie.sfd")"
        if [ "$movie" = large ]; then
            c_times="$c_times $(seconds_of cp large.sfd copy.sfd)"
            rm -f copy.sfd
            d_times="$d_times $(seconds_of dd if=large.sfd of=copy.sfd bs=2048)"
            rm -f copy.sfd
        fi
        i=$((i + 1))
    done
    v=$(echo $v_times | median)
    f=$(echo $f_times | median)
    echo "$movie:    $(du -m "$movie.sfd" | cut -f1) MB in; writes tmp.wav $wav_bytes and $movie.mpg $out_bytes bytes"
    echo "  time:   vornalt $v s, I/O floor $f s (medians of $runs runs): ratio $(ratio "$v" "$f")"
    if [ "$movie" = large ]; then
        c=$(echo $c_times | median)
        d=$(echo $d_times | median)
        echo "  scale:  cp $c s, dd bs=2048 $d s"
    fi
    echo "  memory: peak RSS $(peak_kib "$build/vornalt" -c ./copy_encoder "$movie.sfd") KiB"
done

# The built-in encoder end to end (both passes and the encoding) against
# twolame alone on the WAV file that pass 1 writes, and against the one-shot
# conversion a user would otherwise run (ffmpeg needs -c:a adpcm_adx: these
# movies lack the mark by which it recognises SFD audio).
rm -f tmp.wav tmp.mp3 large.mpg
"$build/vornalt" large.sfd >/dev/null 2>&1
cp tmp.wav large.wav
oneshot="ffmpeg -nostdin -v error -y -c:a adpcm_adx -i large.sfd -c:v copy -c:a mp2 oneshot.mpg"
b_times=""; s_times=""; t_times=""; o_times=""
i=0
while [ $i -lt "$runs" ]; do
    rm -f tmp.wav tmp.mp3 large.mpg
    b_times="$b_times $(seconds_of "$build/vornalt" large.sfd)"
    rm -f tmp.wav tmp.mp3 large.mpg
    s_times="$s_times $(seconds_of "$build/vornalt" -j 1 large.sfd)"
    rm -f twolame.mp2
    t_times="$t_times $(seconds_of twolame large.wav twolame.mp2)"
    rm -f oneshot.mpg
    o_times="$o_times $(seconds_of $oneshot)"
    i=$((i + 1))
done
b=$(echo $b_times | median)
sj=$(echo $s_times | median)
t=$(echo $t_times | median)
o=$(echo $o_times | median)
echo "built-in: large.sfd end to end with the built-in encoder (default rate) on $(nproc) processors, medians of $runs runs"
echo "  time:   vornalt $b s, twolame alone on its WAV $t s (ratio $(ratio "$b" "$t")), ffmpeg one-shot $o s (ratio $(ratio "$b" "$o"))"
echo "          vornalt -j 1 (one encoding thread) $sj s (ratio to twolame $(ratio "$sj" "$t"))"
echo "  memory: peak RSS vornalt $(peak_kib "$build/vornalt" large.sfd) KiB, -j 1 $(peak_kib "$build/vornalt" -j 1 large.sfd) KiB," \
    "twolame $(peak_kib twolame large.wav twolame.mp2) KiB, ffmpeg $(peak_kib $oneshot) KiB"
rm -f large.wav twolame.mp2 oneshot.mpg

# A disc's worth: six movies with a real encoder, two at a time against one
# after another, from the page cache.
mkdir -p batch
i=1; while [ $i -le 6 ]; do [ -f batch/b$i.sfd ] || cp small.sfd batch/b$i.sfd; i=$((i + 1)); done
cd batch
one=""; two=""
i=0
while [ $i -lt "$runs" ]; do
    rm -f ./*.mpg tmp.wav tmp.mp3
    one="$one $(seconds_of "$build/vornalt" -j 1 -c twolame b1.sfd b2.sfd b3.sfd b4.sfd b5.sfd b6.sfd)"
    rm -f ./*.mpg tmp.wav tmp.mp3
    two="$two $(seconds_of "$build/vornalt" -j 2 -c twolame b1.sfd b2.sfd b3.sfd b4.sfd b5.sfd b6.sfd)"
    i=$((i + 1))
done
o=$(echo $one | median)
t=$(echo $two | median)
echo "batch:    6 x small.sfd, encoder twolame"
echo "  time:   -j 1 $o s, -j 2 $t s (medians of $runs runs): ratio $(ratio "$t" "$o")"
echo "  memory: peak RSS -j 1 $(peak_kib "$build/vornalt" -j 1 -c twolame b1.sfd b2.sfd b3.sfd b4.sfd b5.sfd b6.sfd) KiB," \
    "-j 2 $(peak_kib "$build/vornalt" -j 2 -c twolame b1.sfd b2.sfd b3.sfd b4.sfd b5.sfd b6.sfd) KiB (the largest process: vornalt or an encoder)"

# A disc: twenty movies out of a GD-ROM image of raw 2352-byte sectors (the
# file system by genisoimage, the tracks by make_disc) against the same twenty
# movies as files, each side with -j 0 and the stand-in encoder, so that the
# passes are what is timed; from the page cache.
cd "$work"
make_movie disc 1
export MOVIE=disc.sfd
if [ ! -f disc/disc.gdi ]; then
    rm -rf disc && mkdir -p disc/tree/MOVIE disc/files
    i=1; while [ $i -le 20 ]; do
        n=$(printf %02d $i)
        cp disc.sfd "disc/files/M$n.sfd"
        ln "disc/files/M$n.sfd" "disc/tree/MOVIE/M$n.SFD"
        i=$((i + 1))
    done
    genisoimage -quiet -C 0,45000 -o disc/hd.iso disc/tree 2>/dev/null
    "$build/make_disc" disc/hd.iso disc
    rm disc/hd.iso
fi
cat disc/files/*.sfd disc/track0* > /dev/null
mkdir -p disc/out-files disc/out-gdi
f_times=""; g_times=""
i=0
while [ $i -lt "$runs" ]; do
    rm -rf disc/out-files/* disc/out-gdi/*
    f_times="$f_times $(seconds_of "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-files disc/files/*.sfd)"
    g_times="$g_times $(seconds_of "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-gdi disc/disc.gdi)"
    i=$((i + 1))
done
f=$(echo $f_times | median)
g=$(echo $g_times | median)
echo "disc:     20 x disc.sfd ($(du -m disc.sfd | cut -f1) MB), -j 0, stand-in encoder"
echo "  time:   as files $f s, out of disc.gdi (raw sectors) $g s (medians of $runs runs): ratio $(ratio "$g" "$f")"
echo "  memory: peak RSS files $(peak_kib "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-files disc/files/*.sfd) KiB," \
    "disc.gdi $(peak_kib "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-gdi disc/disc.gdi) KiB"

# The same disc as a CHD (chdman's default codecs) converted where it lies,
# against what a user would do otherwise: chdman extractcd to a GDI, then
# converting that; with -j 0 on both sides, and without -j on both sides.
[ -f disc/disc.chd ] || chdman createcd -i disc/disc.gdi -o disc/disc.chd >/dev/null 2>&1
cat disc/disc.chd > /dev/null
for j in "-j 0" ""; do
    name=extract_then_convert${j:+_j0}
    cat > "$name" <<SH
#!/bin/sh
rm -rf disc/x && mkdir disc/x && chdman extractcd -i disc/disc.chd -o disc/x/disc.gdi >/dev/null 2>&1 &&
    "$build/vornalt" $j -c ./copy_encoder -o disc/out-x disc/x/disc.gdi
SH
    chmod +x "$name"
done
mkdir -p disc/out-chd disc/out-x
c_times=""; x_times=""; s_times=""; y_times=""
i=0
while [ $i -lt "$runs" ]; do
    rm -rf disc/out-chd/* disc/out-x/*
    c_times="$c_times $(seconds_of "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-chd disc/disc.chd)"
    x_times="$x_times $(seconds_of ./extract_then_convert_j0)"
    rm -rf disc/out-chd/* disc/out-x/*
    s_times="$s_times $(seconds_of "$build/vornalt" -c ./copy_encoder -o disc/out-chd disc/disc.chd)"
    y_times="$y_times $(seconds_of ./extract_then_convert)"
    i=$((i + 1))
done
c=$(echo $c_times | median)
x=$(echo $x_times | median)
sc=$(echo $s_times | median)
y=$(echo $y_times | median)
echo "chd:      the disc as disc.chd ($(du -m disc/disc.chd | cut -f1) MB), stand-in encoder"
echo "  time:   -j 0: vornalt disc.chd $c s, chdman extractcd then the GDI $x s (ratio $(ratio "$c" "$x")); ratio to the GDI alone $(ratio "$c" "$g")"
echo "          without -j: vornalt disc.chd $sc s, chdman extractcd then the GDI $y s (ratio $(ratio "$sc" "$y"))"
echo "  memory: peak RSS -j 0 $(peak_kib "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-chd disc/disc.chd) KiB"
rm -rf disc/x

# The disc as a CHD of Zstandard (chdman 0.289's cdzs,cdfl: npm ci --prefix
# tests/tools) against converting the GDI itself, -j 0.
chdman289="$top/tests/tools/node_modules/@emmercm/chdman-linux-x64/dist/chdman"
if [ -x "$chdman289" ]; then
    [ -f disc/zs.chd ] || "$chdman289" createcd -c cdzs,cdfl -i disc/disc.gdi -o disc/zs.chd >/dev/null 2>&1
    cat disc/zs.chd > /dev/null
    z_times=""; h_times=""
    i=0
    while [ $i -lt "$runs" ]; do
        rm -rf disc/out-chd/* disc/out-gdi/*
        z_times="$z_times $(seconds_of "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-chd disc/zs.chd)"
        h_times="$h_times $(seconds_of "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-gdi disc/disc.gdi)"
        i=$((i + 1))
    done
    z=$(echo $z_times | median)
    h=$(echo $h_times | median)
    echo "cdzs:     the disc as zs.chd ($(du -m disc/zs.chd | cut -f1) MB, cdzs,cdfl), -j 0, stand-in encoder"
    echo "  time:   vornalt zs.chd $z s, the GDI $h s (ratio $(ratio "$z" "$h"))"
    echo "  memory: peak RSS $(peak_kib "$build/vornalt" -j 0 -c ./copy_encoder -o disc/out-chd disc/zs.chd) KiB"
else
    echo "cdzs:     skipped: chdman 0.289 is not in tests/tools (npm ci --prefix tests/tools)"
fi

# The page in headless Chromium (bench/browser.py; web/build.sh builds the page
# into build-web): four long movies dropped at once, and the disc's GDI, with
# threads and without, against the native build with -j 0, built-in encoder;
# then the movies of a 1 GB ISO image with threads, for the memory (the
# module's, and the peak of the renderer that holds page, worker and module).
# One run each.
if [ -f "$top/build-web/index.html" ] && [ -x /usr/bin/chromedriver ] &&
    /usr/bin/python3 -c "import selenium" 2>/dev/null; then
    make_movie long 4
    for n in 1 2 3 4; do [ -f "long$n.sfd" ] || ln long.sfd "long$n.sfd"; done
    if [ ! -f big.iso ]; then
        rm -rf big && mkdir -p big/MOVIE
        # Copies: genisoimage stores hard links once.
        for n in 1 2 3 4 5; do cp large.sfd "big/MOVIE/L$n.SFD"; done
        genisoimage -quiet -o big.iso big
        rm -rf big
    fi
    cat long.sfd big.iso > /dev/null
    browser() { /usr/bin/python3 "$top/bench/browser.py" "$top/build-web" "$build/vornalt" "$@"; }
    browser "browser:  4 x long.sfd ($(du -m long.sfd | cut -f1) MB)" long1.sfd long2.sfd long3.sfd long4.sfd
    browser "          the disc's GDI (20 movies)" disc/disc.gdi disc/track0*
    BUILDS=threads browser "          big.iso ($(du -m big.iso | cut -f1) MB, 5 x large.sfd)" big.iso
else
    echo "browser:  skipped: no page in build-web (web/build.sh), or no chromium-driver or python3-selenium"
fi
