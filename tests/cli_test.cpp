// The real binary, run as a user runs it: one table of scenarios, and whole
// conversions with real encoders judged by ffprobe and ffmpeg.
#include "mpeg.h"
#include "util.h"

namespace {

// Whether text matches pattern, where '*' stands for any text and '#' for a number.
bool matches(const char* p, const char* t)
{
    if (*p == '*') return matches(p + 1, t) || (*t != '\0' && matches(p, t + 1));
    if (*p == '#') return *t >= '0' && *t <= '9' && (matches(p + 1, t + 1) || matches(p, t + 1));
    return *p == *t && (*p == '\0' || matches(p + 1, t + 1));
}

std::pair<int, std::string> vornalt(const temp_dir& dir, const std::string& args)
{
    return run_shell(dir.cd() + VORNALT_BIN " " + args + " 2>stderr.txt");
}

// The audio packets' payloads of a movie, in order.
bytes audio_payloads(const bytes& movie)
{
    bytes out;
    messages quiet{true, "", ""};
    for (std::size_t at = 0; at + sector_size <= movie.size(); at += sector_size) {
        const std::uint8_t* s = &movie[at];
        if (read_long(s) == pack_code && read_long(s + 12) == audio_code)
            out.insert(out.end(), s + 18 + skip_block_header(s + 18, bounded_packet_length(s), quiet).length, s + 18 + bounded_packet_length(s));
    }
    return out;
}

TEST(Cli, Scenarios)
{
    const std::string conv = "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\n", done = conv + "pass 2\nrest:# ", copy = "cp prepared.mp2 \"$2\"",
                      vbr = conv + "pass 2\nvariable bit rate audio is not supported\n", bad = conv + "pass 2\nbad mpeg audio header\n",
                      frame = "{ printf '\\377\\373\\120\\000'; head -c 32 /dev/zero; printf ", frame_end = "; head -c 168 /dev/zero; cat prepared.mp2; } > \"$2\"",
                      failed = "vornalt: 1 of 1 movies failed: movie.sfd\n", fake = "mkdir bin && printf '#!/bin/sh\\n/bin/cp prepared.mp2 \"$2\"\\n' > bin/";
    struct scenario {
        std::string setup, encoder, args;  // shell commands run first; the body of ./enc; the arguments
        std::string out;                   // standard output: '*' any text, '#' a number
        int status;
        std::string err;                   // standard error, the same way
        bool placed = false;               // movie.mpg carries the prepared audio from its start
        bool output = false;               // movie.mpg exists afterwards
        std::string check = "true";        // a shell command that must succeed afterwards
        std::string env = "";              // put before the command
    };
    const scenario rows[] = {
        {"", copy, "", "Convertidor videos Dreamcast SFD->MPEG1    \n vornalt [-option] <infile>\n  -c <\"mp3 encoder [encoder option]\">Utilidad por lumo.  \n"
                       "Lea README.TXT para instrucciones.       \n", 255, "vornalt: -h lists the options\n"},
        {"", copy, "-v -x - -c", "", 0, ""},
        {"", copy, "-c ./enc movie.sfd -cfoo false movie.sfd nosuch.sfd -q -c", done + conv + "nosuch.sfd -> nosuch.mpg\ncan't open nosuch.sfd\n", 1,
         "vornalt: warning: movie.sfd gives movie.mpg too; its output replaces that of movie.sfd\nvornalt: the encoder exited with status 1\n"
         "vornalt: nosuch.sfd: No such file or directory\nvornalt: 2 of 3 movies failed: movie.sfd, nosuch.sfd\n", false, true},
        {"", copy, "-c ./enc -verbose movie.sfd", conv + "pass 2\nversion: 1\nlayer: II\n*bit_rate: 128\n*framesize: 418\nwidth: 160\nheight: 120\n*rest:# ", 0, "", true, true},
        {"ln movie.sfd tmp.wav", copy, "-c ./enc tmp.wav", "tmp.wav -> tmp.mpg\npass 1\ncan't open tempolary wav file\n", 1, "vornalt: tmp.wav is the input itself\nvornalt: 1 of 1 movies failed: tmp.wav\n"},
        {"ln -s movie.sfd tmp.mp3", copy, "-c ./enc tmp.mp3", "tmp.mp3 -> tmp.mpg\npass 1\nmake mpeg audio\ncan't open tempolary mp3 file\n", 1, "vornalt: tmp.mp3 is the input itself\n*"},
        {"ln movie.sfd x.mpg", copy, "-c ./enc x.mpg", "x.mpg -> x.mpg\npass 1\nmake mpeg audio\npass 2\ncan't open x.mpg\n", 1, "vornalt: x.mpg is the input itself\n*"},
        {"", "exit 3", "-c ./enc movie.sfd", conv, 1, "vornalt: the encoder exited with status 3\n" + failed},
        {"", "", "-c no-such-encoder movie.sfd", conv, 1, "*-c twolame*" + failed},
        {"cp prepared.mp2 tmp.mp3", "true", "-c ./enc movie.sfd", conv + "pass 2\ncan't open tempolary mp3 file\n", 1, "vornalt: tmp.mp3: No such file or directory\n" + failed},
        {"", "printf '\\377\\375\\200' > \"$2\"", "-c ./enc movie.sfd", bad, 1, failed},
        {"mkdir movie.mpg", copy, "-c ./enc movie.sfd", "movie.sfd -> movie.mpg\ncan't open movie.mpg\n", 1, "vornalt: movie.mpg: Is a directory\n" + failed, false, true, "test ! -e tmp.wav"},
        {"ln -s /dev/full movie.mpg", copy, "-c ./enc movie.sfd", done + "can't write movie.mpg\n", 1, "vornalt: movie.mpg: No space left on device\n" + failed},
        {"ln -s /dev/full tmp.wav", copy, "-c ./enc movie.sfd", "movie.sfd -> movie.mpg\npass 1\ncan't write tmp.wav\n", 1, "vornalt: tmp.wav: No space left on device\n" + failed},
        {"", "cp long.mp2 \"$2\"", "-c ./enc movie.sfd", done, 1, "\nvornalt: warning: movie.mpg lacks the last # bytes (#.# s)*lower bit rate\n" + failed, true, true},
        {"mkdir my.dir && cp movie.sfd my.dir/movie && cp movie.sfd intro", copy, "-c ./enc my.dir/movie ./intro",
         "my.dir/movie -> my.dir/movie.mpg\npass 1\nmake mpeg audio\npass 2\nrest:# ./intro -> ./intro.mpg\npass 1\nmake mpeg audio\npass 2\nrest:# ", 0, "", false, false, "test -s my.dir/movie.mpg -a -s intro.mpg"},
        {"", "printf 'ID3\\004\\000\\000\\000\\000\\000\\005abcde' | cat - prepared.mp2 > \"$2\"", "-c ./enc movie.sfd", done, 0, "", true, true},
        {"", "printf 'ID3\\004\\000\\020\\000\\000\\000\\002xy3DI\\004\\000\\020\\000\\000\\000\\002' | cat - prepared.mp2 > \"$2\"", "-c ./enc movie.sfd", done, 0, "", true, true},
        {"", "printf 'ID3\\004\\000\\000\\000\\000\\001\\000' > \"$2\"", "-c ./enc movie.sfd", bad, 1, failed},
        {"", frame + "Info" + frame_end, "-c ./enc -v movie.sfd", "*pass 2\nversion: 1\nlayer: II\nprotection: 1\nbit_rate: 128\n*", 0, "", true, true},
        {"", frame + "Xing" + frame_end, "-c ./enc movie.sfd", vbr, 1, failed},
        {"", "{ printf '\\377\\373\\120\\300'; head -c 32 /dev/zero; printf VBRI" + frame_end, "-c ./enc movie.sfd", vbr, 1, failed},
        // Output folders: a path with slashes, one with backslashes, a dotted folder, the current folder; a missing folder, a file.
        {"mkdir out my.dir && cp movie.sfd my.dir/movie && cp movie.sfd 'sub\\intro.sfd'", copy, "-c ./enc -o out my.dir/movie -o my.dir/ 'sub\\intro.sfd' -o '' my.dir/movie",
         "my.dir/movie -> out/movie.mpg\n*rest:# sub\\intro.sfd -> my.dir/intro.mpg\n*rest:# my.dir/movie -> movie.mpg\n*rest:# ", 0, "", true, true, "test -s out/movie.mpg -a -s my.dir/intro.mpg"},
        {"", copy, "-c ./enc -o nowhere movie.sfd", "movie.sfd -> nowhere/movie.mpg\ncan't open nowhere/movie.mpg\n", 1, "vornalt: nowhere: No such file or directory\n" + failed, false, false, "test ! -e tmp.wav"},
        {"", copy, "-c ./enc -o movie.sfd movie.sfd", "movie.sfd -> movie.sfd/movie.mpg\ncan't open movie.sfd/movie.mpg\n", 1, "vornalt: movie.sfd: Not a directory\n" + failed},
        // The default encoder: toolame32, else twolame, else lame, said once.
        {fake + "lame && chmod +x bin/lame", "", "movie.sfd movie.sfd", done + done, 0, "vornalt: toolame32 not found; encoding with lame\nvornalt: warning: *", true, true, "true", "PATH=\"$PWD/bin\" "},
        {fake + "toolame32 && cp bin/toolame32 bin/twolame && chmod +x bin/*", "", "movie.sfd", done, 0, "", true, true, "true", "PATH=\"$PWD/bin\" "},
        {"mkdir bin", "", "movie.sfd", conv, 1, "*toolame32*not found*-c twolame*" + failed, false, false, "true", "PATH=\"$PWD/bin\" "},
        // Help and version, before any conversion.
        {"", copy, "-c ./enc movie.sfd -h", "usage: vornalt [options] movie.sfd ...\n*\nExit status:*\nExamples:\n*", 0, ""},
        {"", copy, "--help", "usage: vornalt*", 0, ""}, {"", copy, "-help", "usage: vornalt*", 0, ""},
        {"", copy, "movie.sfd --version", "vornalt #.#.#\n", 0, ""},
        {"", copy, "a1 a2 a3 a4 a5 a6 a7 a8 a9 a10 a11 a12", "*", 1, "*vornalt: 12 of 12 movies failed: a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, and 2 more\n"},
        // -j: a number, attached or next; nothing is converted without one.
        {"", copy, "-c ./enc movie.sfd -j", "", 255, "vornalt: -j takes a number of conversions, as in -j 4\n"},
        {"", copy, "-jx -c ./enc movie.sfd", "", 255, "vornalt: -j takes a number of conversions, as in -j 4\n"},
        {"", copy, "-j4 -c ./enc movie.sfd -j 0", done, 0, "", true, true, "test ! -e tmp.wav -a ! -e tmp.mp3"},
    };
    const bytes movie = sfd::mux(mpeg1_video(1), adx_tone(2, 44100, 1));
    for (const scenario& r : rows) {
        temp_dir dir;
        write_bytes(dir / "movie.sfd", movie);
        write_bytes(dir / "prepared.mp2", mp2_tone(1));
        write_bytes(dir / "long.mp2", mp2_tone(3));
        write_bytes(dir / "enc", std::span(reinterpret_cast<const std::uint8_t*>(r.encoder.data()), r.encoder.size()));
        ASSERT_EQ(run_shell(dir.cd() + "chmod +x enc && " + (r.setup.empty() ? "true" : r.setup)).first, 0);
        const auto [status, out] = run_shell(dir.cd() + r.env + VORNALT_BIN " " + r.args + " 2>stderr.txt");
        const bytes err = read_bytes(dir / "stderr.txt");
        EXPECT_TRUE(matches(r.out.c_str(), out.c_str())) << r.args << "\n" << out;
        EXPECT_EQ(status, r.status) << r.args;
        EXPECT_TRUE(matches(r.err.c_str(), std::string(err.begin(), err.end()).c_str())) << r.args << "\n" << std::string(err.begin(), err.end());
        EXPECT_EQ(read_bytes(dir / "movie.sfd"), movie) << "the input keeps its bytes";
        EXPECT_EQ(fs::exists(fs::symlink_status(dir / "movie.mpg")), r.output) << r.args;
        EXPECT_EQ(run_shell(dir.cd() + r.check).first, 0) << r.args << ": " << r.check;
        const bytes payloads = audio_payloads(read_bytes(dir / "movie.mpg")), prepared = mp2_tone(1);
        EXPECT_TRUE(!r.placed || std::equal(prepared.begin(), prepared.begin() + 4000, payloads.begin())) << r.args;
    }
}

// Conversions side by side print, write and exit as they do one after another, leave no temporary
// files, and never run two conversions of one output at once; conversions of two processes in one
// folder take turns.
TEST(Parallel, SameAsInOrder)
{
    const bytes movies[] = {sfd::mux(mpeg1_video(1), adx_tone(2, 44100, 1)), sfd::mux(mpeg1_video(1), adx_tone(1, 22050, 1)), sfd::mux(mpeg1_video(2), adx_tone(2, 48000, 2))};
    const std::string encoder = "echo encoding $(basename \"$1\"); echo to stderr >&2; sleep 0.3; cp prepared.mp2 \"$2\"";
    std::map<std::string, std::string> runs;  // arguments -> what the run left
    for (const std::string parallel : {"", "-j 3 ", "-j0 "}) {
        temp_dir dir;
        write_bytes(dir / "enc", std::span(reinterpret_cast<const std::uint8_t*>(encoder.data()), encoder.size()));
        write_bytes(dir / "prepared.mp2", mp2_tone(1));
        for (int i = 0; i < 3; ++i) write_bytes(dir / ("m" + std::to_string(i) + ".sfd"), movies[i]);
        ASSERT_EQ(run_shell(dir.cd() + "mkdir a b out tmp && cp m0.sfd a/x.sfd && cp m1.sfd b/x.sfd && chmod +x enc").first, 0);
        const std::string args = parallel + "-c ./enc m0.sfd m1.sfd nosuch.sfd -o out a/x.sfd b/x.sfd -o '' m2.sfd out/x.mpg";
        const auto [status, out] = run_shell(dir.cd() + "TMPDIR=\"$PWD/tmp\" " VORNALT_BIN " " + args + " 2>stderr.txt");
        const bytes err = read_bytes(dir / "stderr.txt");
        std::string left = "status " + std::to_string(status) + "\n" + out + "\n" + std::string(err.begin(), err.end());
        for (const char* name : {"m0.mpg", "m1.mpg", "m2.mpg", "out/x.mpg", "x.mpg"}) left += std::string(name) + " " + std::to_string(std::hash<std::string>{}(run_shell(dir.cd() + "cat " + name).second)) + "\n";
        runs[parallel] = left;
        if (!parallel.empty()) {
            EXPECT_EQ(run_shell(dir.cd() + "ls -A tmp; ls tmp.* 2>/dev/null").second, "") << "temporary files left";
        }
    }
    EXPECT_EQ(runs["-j 3 "], runs[""]);
    EXPECT_EQ(runs["-j0 "], runs[""]);
}

TEST(Parallel, TwoProcessesInOneFolderTakeTurns)
{
    temp_dir dir;
    const std::string encoder = "sleep 1; cp prepared.mp2 \"$2\"";
    write_bytes(dir / "enc", std::span(reinterpret_cast<const std::uint8_t*>(encoder.data()), encoder.size()));
    write_bytes(dir / "prepared.mp2", mp2_tone(1));
    write_bytes(dir / "a.sfd", sfd::mux(mpeg1_video(2), adx_tone(2, 44100, 2)));
    write_bytes(dir / "b.sfd", sfd::mux(mpeg1_video(2), adx_tone(1, 22050, 2)));
    const std::string both = "chmod +x enc && { " VORNALT_BIN " -c ./enc a.sfd >a.txt 2>&1 & " VORNALT_BIN " -c ./enc b.sfd >b.txt 2>&1; wait; } && ";
    ASSERT_EQ(run_shell(dir.cd() + both + "mkdir one && cp a.sfd b.sfd enc prepared.mp2 one && cd one && " VORNALT_BIN " -c ./enc a.sfd b.sfd >/dev/null 2>&1").first, 0);
    for (const char* name : {"a.mpg", "b.mpg"}) EXPECT_EQ(read_bytes(dir / name), read_bytes(dir / "one" / name)) << name;
    EXPECT_EQ(run_shell(dir.cd() + "cat a.txt b.txt | grep -c 'vornalt: waiting for another conversion in this folder (tmp.wav is in use); -j N converts in parallel'").second, "1\n");
}

// Black with a white flash and silence with a 1 kHz tone, both from 2.0 s,
// stamped from 0.25 s: the converted tone must start with the flash.
TEST(EndToEnd, RealEncodersGiveMoviesInSync)
{
    const bytes movie = sfd::mux(mpeg1_video(4, true), adx_tone(2, 44100, 4, true), 22500);
    for (const char* encoder : {"twolame", "lame", "'ffmpeg -v error -y -i'"}) {
        temp_dir dir;
        write_bytes(dir / "movie.sfd", movie);
        const std::string in_dir = dir.cd();
        ASSERT_EQ(vornalt(dir, std::string("-c ") + encoder + " movie.sfd").first, 0) << encoder;
        EXPECT_EQ(run_shell(in_dir + "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 movie.mpg | sort").second, "audio\nvideo\n");
        EXPECT_EQ(run_shell(in_dir + "ffmpeg -nostdin -v error -i movie.mpg -f null - 2>&1").second, "") << encoder << ": a clean decode";
        const std::string marks = run_shell(in_dir + "ffmpeg -nostdin -i movie.mpg -vf blackdetect=d=0.1:pix_th=0.5 -af silencedetect=n=-30dB:d=0.1 "
                                                     "-f null - 2>&1 | grep -oE '(black|silence)_end: ?[0-9.]+' | sort | tr -d ' '").second;
        double flash = -1, tone = -1;
        ASSERT_EQ(std::sscanf(marks.c_str(), "black_end:%lf\nsilence_end:%lf", &flash, &tone), 2) << marks;
        std::printf("%s: tone - flash = %+.1f ms\n", encoder, (tone - flash) * 1000);
        EXPECT_NEAR(tone, flash, 0.040) << encoder;
        // The sectors other than audio are the input's; the payloads are tmp.mp3's audio, to its end.
        const bytes out = read_bytes(dir / "movie.mpg"), mp3 = read_bytes(dir / "tmp.mp3"), payloads = audio_payloads(out);
        bytes kept[2];
        for (int i = 0; i < 2; ++i)
            for (std::size_t at = 0; at < (i ? out : movie).size(); at += sector_size)
                if (read_long(&(i ? out : movie)[at + 12]) != audio_code) kept[i].insert(kept[i].end(), &(i ? out : movie)[at], &(i ? out : movie)[at] + sector_size);
        EXPECT_TRUE(kept[0] == kept[1]) << encoder;
        ASSERT_GE(mp3.size(), payloads.size());
        EXPECT_LT(mp3.size() - payloads.size(), 4096u) << encoder;
        EXPECT_TRUE(std::equal(payloads.begin(), payloads.end(), mp3.end() - static_cast<long>(payloads.size()))) << encoder;
    }
}

}  // namespace
