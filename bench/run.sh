#!/bin/sh
# Benchmark: the program's own two passes against an I/O floor that moves the
# same bytes (reads the input twice, writes a WAV file and an output of the
# sizes the program writes, runs the same stand-in encoder), against cp, and
# peak memory for a ~20 MB and a ~200 MB movie.
# Usage: bench/run.sh [RUNS]   (needs ffmpeg; builds a Release vornalt)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
build="$top/build-bench"
work="$top/bench/work"
mkdir -p "$work"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORNALT_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vornalt make_sfd >/dev/null

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

# The "encoder": copies the prepared MPEG audio into place.
cat > copy_encoder <<'SH'
#!/bin/sh
cp "$PREPARED" "$2"
SH
chmod +x copy_encoder

seconds_of() { # command...; prints wall seconds
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

export PREPARED="$work/large.mp2"
cat large.sfd > /dev/null  # into the page cache, as for every later run
rm -f tmp.wav tmp.mp3 large.mpg
"$build/vornalt" -c ./copy_encoder large.sfd >/dev/null 2>&1 || true
wav_bytes=$(stat -c %s tmp.wav)
out_bytes=$(stat -c %s large.mpg)
# The floor: the same reads, writes and encoder run, without any work on the bytes.
cat > io_floor <<SH
#!/bin/sh
cat large.sfd > /dev/null
head -c $wav_bytes /dev/zero > floor.wav
./copy_encoder floor.wav floor.mp3
cat large.sfd floor.mp3 > /dev/null
head -c $out_bytes /dev/zero > floor.mpg
SH
chmod +x io_floor
v_times=""; c_times=""; d_times=""; f_times=""
i=0
while [ $i -lt "$runs" ]; do
    rm -f floor.wav floor.mp3 floor.mpg
    f_times="$f_times $(seconds_of ./io_floor)"

    c_times="$c_times $(seconds_of cp large.sfd copy.sfd)"
    rm -f copy.sfd
    d_times="$d_times $(seconds_of dd if=large.sfd of=copy.sfd bs=2048)"
    rm -f copy.sfd floor.wav floor.mp3 floor.mpg
    # Like cp, every run writes fresh files rather than truncating the last run's.
    rm -f tmp.wav tmp.mp3 large.mpg
    v_times="$v_times $(seconds_of "$build/vornalt" -c ./copy_encoder large.sfd)"
    i=$((i + 1))
done
v=$(echo $v_times | tr ' ' '\n' | median)
c=$(echo $c_times | tr ' ' '\n' | median)
d=$(echo $d_times | tr ' ' '\n' | median)
f=$(echo $f_times | tr ' ' '\n' | median)

peak_kib() { # NAME
    PREPARED="$work/$1.mp2" /usr/bin/time -v "$build/vornalt" -c ./copy_encoder "$1.sfd" 2>&1 >/dev/null |
        awk -F': ' '/Maximum resident set size/ { print $2 }'
}
small_kib=$(peak_kib small)
large_kib=$(peak_kib large)

echo "machine:  $(nproc) cores, $(awk '/model name/ { sub(/.*: /, ""); print; exit }' /proc/cpuinfo)"
echo "input:    large.sfd $(du -m large.sfd | cut -f1) MB, small.sfd $(du -m small.sfd | cut -f1) MB"
echo "writes:   tmp.wav $wav_bytes bytes, large.mpg $out_bytes bytes"
echo "time:     vornalt $v s, I/O floor $f s, cp $c s, dd bs=2048 $d s (medians of $runs runs)"
echo "ratio:    vornalt / I/O floor $(echo "scale=2; $v / $f" | bc), vornalt / cp $(echo "scale=2; $v / $c" | bc), vornalt / dd bs=2048 $(echo "scale=2; $v / $d" | bc)"
echo "memory:   peak RSS $small_kib KiB (small), $large_kib KiB (large)"
