// The real binary, run as a user runs it: one table of scenarios, and whole
// conversions with real encoders judged by ffprobe and ffmpeg.
#include "mpeg.h"
#include "util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Whether text matches pattern, where '*' stands for any text and '#' for a number.
bool matches(const char* p, const char* t)
{
    if (*p == '\0') return *t == '\0';
    if (*p == '*') return matches(p + 1, t) || (*t != '\0' && matches(p, t + 1));
    if (*p == '#') {
        if (*t < '0' || *t > '9') return false;
        while (t[1] >= '0' && t[1] <= '9') ++t;
        return matches(p + 1, t + 1);
    }
    return *p == *t && matches(p + 1, t + 1);
}

run_result vornalt(const temp_dir& dir, const std::string& args)
{
    return run_shell("cd " + quoted(dir.path.string()) + " && " + quoted(VORNALT_BIN) + " " + args + " 2>stderr.txt");
}

// The encoded audio in the output's audio packets, in order.
bytes audio_payloads(const bytes& movie)
{
    bytes out;
    for (std::size_t at = 0; at + sector_size <= movie.size(); at += sector_size) {
        const std::uint8_t* s = &movie[at];
        if (read_long(s) != pack_code || read_long(s + 12) != audio_code) continue;
        const int h = skip_block_header(s + 18, bounded_packet_length(s)).length;
        out.insert(out.end(), s + 18 + h, s + 18 + bounded_packet_length(s));
    }
    return out;
}

const char* usage = "Convertidor videos Dreamcast SFD->MPEG1    \n vornalt [-option] <infile>\n"
                    "  -c <\"mp3 encoder [encoder option]\">Utilidad por lumo.  \nLea README.TXT para instrucciones.       \n";
const std::string converted = "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\npass 2\nrest:# ";
const std::string failed_encoder = "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\n";
const std::string copy = "cp prepared.mp2 \"$2\"";
const std::string frame_64k = "printf '\\377\\373\\120\\000'; head -c 32 /dev/zero; printf ";  // MPEG-1 layer III, stereo
const std::string frame_end = "; head -c 168 /dev/zero; cat prepared.mp2; } > \"$2\"";      // 208 bytes in all

TEST(Cli, Scenarios)
{
    struct scenario {
        const char* name;
        std::string setup;    // shell commands run in the folder first
        std::string encoder;  // the body of the script ./enc
        std::string args;
        std::string out;      // standard output, '*' any text, '#' a number
        int status;
        const char* err;      // what standard error must hold; nullptr: nothing
        bool placed;          // movie.mpg holds the prepared audio from its start
        const char* absent = nullptr;
    };
    const scenario rows[] = {
        {"no arguments", "", copy, "", usage, 255, nullptr, false},
        {"only options", "", copy, "-v -x - -c", "", 0, nullptr, false},
        {"options act on what follows", "", copy, "-c ./enc movie.sfd -cfoo false movie.sfd nosuch.sfd -q -c",
         converted + failed_encoder + "nosuch.sfd -> nosuch.mpg\ncan't open nosuch.sfd\n", 1, nullptr, false},
        {"verbose", "", copy, "-c ./enc -verbose movie.sfd",
         "*pass 2\nversion: 1\nlayer: II\n*bit_rate: 128\n*framesize: 418\nwidth: 160\nheight: 120\n*rest:# ", 0, nullptr, true},
        {"input is tmp.wav", "ln movie.sfd tmp.wav", copy, "-c ./enc tmp.wav",
         "tmp.wav -> tmp.mpg\npass 1\ncan't open tempolary wav file\n", 1, nullptr, false},
        {"input is tmp.mp3", "ln -s movie.sfd tmp.mp3", copy, "-c ./enc tmp.mp3",
         "tmp.mp3 -> tmp.mpg\npass 1\nmake mpeg audio\ncan't open tempolary mp3 file\n", 1, nullptr, false, "tmp.mpg"},
        {"input is its output", "cp movie.sfd x.mpg", copy, "-c ./enc x.mpg",
         "x.mpg -> x.mpg\npass 1\nmake mpeg audio\npass 2\ncan't open x.mpg\n", 1, nullptr, false},
        {"encoder fails", "", "exit 3", "-c ./enc movie.sfd", failed_encoder, 1, nullptr, false, "movie.mpg"},
        {"encoder not found", "", "", "-c no-such-encoder movie.sfd", failed_encoder, 1, "-c twolame", false, "movie.mpg"},
        {"stale tmp.mp3", "cp prepared.mp2 tmp.mp3", "true", "-c ./enc movie.sfd",
         converted.substr(0, converted.size() - 7) + "can't open tempolary mp3 file\n", 1, nullptr, false},
        {"encoder writes 3 bytes", "", "printf '\\377\\375\\200' > \"$2\"", "-c ./enc movie.sfd",
         failed_encoder + "pass 2\nbad mpeg audio header\n", 1, nullptr, false, "movie.mpg"},
        {"output is a folder", "mkdir movie.mpg", copy, "-c ./enc movie.sfd",
         failed_encoder + "pass 2\ncan't open movie.mpg\n", 1, nullptr, false},
        {"output can't be written", "ln -s /dev/full movie.mpg", copy, "-c ./enc movie.sfd",
         converted + "can't write movie.mpg\n", 1, nullptr, false, "movie.mpg"},
        {"tmp.wav can't be written", "ln -s /dev/full tmp.wav", copy, "-c ./enc movie.sfd",
         "movie.sfd -> movie.mpg\npass 1\ncan't write tmp.wav\n", 1, nullptr, false},
        {"audio too long", "", "cp long.mp2 \"$2\"", "-c ./enc movie.sfd", converted, 1,
         "movie.mpg lacks the last * bytes (*.* s) of its encoded audio*lower bit rate", false},
        {"names", "mkdir my.dir && cp movie.sfd my.dir/movie && cp movie.sfd intro", copy, "-c ./enc my.dir/movie ./intro",
         "my.dir/movie -> my.dir/movie.mpg\n*./intro -> ./intro.mpg\n*", 0, nullptr, false},
        {"ID3v2 tag", "", "printf 'ID3\\004\\000\\000\\000\\000\\000\\005abcde' | cat - prepared.mp2 > \"$2\"",
         "-c ./enc movie.sfd", converted, 0, nullptr, true},
        {"ID3v2 tag with footer", "", "printf 'ID3\\004\\000\\020\\000\\000\\000\\002xy3DI\\004\\000\\020\\000\\000\\000\\002' | cat - prepared.mp2 > \"$2\"",
         "-c ./enc movie.sfd", converted, 0, nullptr, true},
        {"tag longer than the file", "", "printf 'ID3\\004\\000\\000\\000\\000\\001\\000' > \"$2\"", "-c ./enc movie.sfd",
         failed_encoder + "pass 2\nbad mpeg audio header\n", 1, nullptr, false, "movie.mpg"},
        {"Info frame at 64 kbit/s", "", "{ " + frame_64k + "Info" + frame_end, "-c ./enc -v movie.sfd",
         "*pass 2\nversion: 1\nlayer: II\nprotection: 1\nbit_rate: 128\n*", 0, nullptr, true},
        {"Xing frame", "", "{ " + frame_64k + "Xing" + frame_end, "-c ./enc movie.sfd",
         failed_encoder + "pass 2\nvariable bit rate audio is not supported\n", 1, nullptr, false, "movie.mpg"},
        {"VBRI frame", "", "{ printf '\\377\\373\\120\\300'; head -c 32 /dev/zero; printf VBRI" + frame_end,
         "-c ./enc movie.sfd", failed_encoder + "pass 2\nvariable bit rate audio is not supported\n", 1, nullptr, false, "movie.mpg"},
    };
    const bytes movie = sfd::flatten(sfd::mux(mpeg1_video(1), adx_tone(2, 44100, 1)));
    for (const scenario& r : rows) {
        SCOPED_TRACE(r.name);
        temp_dir dir;
        write_bytes(dir / "movie.sfd", movie);
        write_bytes(dir / "prepared.mp2", mp2_tone(1));
        write_bytes(dir / "long.mp2", mp2_tone(3));
        ASSERT_EQ(run_shell("cd " + quoted(dir.path.string()) + " && printf '%s\\n' " + quoted(r.encoder) +
                            " > enc && chmod +x enc && " + (r.setup.empty() ? "true" : r.setup)).status, 0);
        const run_result got = vornalt(dir, r.args);
        EXPECT_TRUE(matches(r.out.c_str(), got.out.c_str())) << got.out;
        EXPECT_EQ(got.status, r.status);
        const bytes err = read_bytes(dir / "stderr.txt");
        const std::string err_text(err.begin(), err.end());
        EXPECT_TRUE(matches(r.err == nullptr ? "" : ("*" + std::string(r.err) + "*").c_str(), err_text.c_str())) << err_text;
        EXPECT_EQ(read_bytes(dir / "movie.sfd"), movie) << "the input keeps its bytes";
        EXPECT_TRUE(r.absent == nullptr || !fs::exists(fs::symlink_status(dir / r.absent))) << r.absent;
        if (r.placed) {
            const bytes payloads = audio_payloads(read_bytes(dir / "movie.mpg")), prepared = read_bytes(dir / "prepared.mp2");
            EXPECT_EQ(bytes(payloads.begin(), payloads.begin() + 4000), bytes(prepared.begin(), prepared.begin() + 4000));
        }
    }
}

// Black with a white flash and silence with a 1 kHz tone, both from 2.0 s,
// stamped from 0.25 s: the converted tone must start with the flash.
TEST(EndToEnd, RealEncodersGiveMoviesInSync)
{
    sfd::mux_options options;
    options.start = 22500;
    const bytes movie = sfd::flatten(sfd::mux(mpeg1_video(4, true), adx_tone(2, 44100, 4, true), options));
    for (const char* encoder : {"twolame", "lame", "'ffmpeg -v error -y -i'"}) {
        SCOPED_TRACE(encoder);
        temp_dir dir;
        write_bytes(dir / "movie.sfd", movie);
        const std::string cd = "cd " + quoted(dir.path.string()) + " && ";
        const run_result run = vornalt(dir, std::string("-c ") + encoder + " movie.sfd");
        ASSERT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(run_shell(cd + "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 movie.mpg | sort").out,
                  "audio\nvideo\n");
        EXPECT_EQ(run_shell(cd + "ffmpeg -nostdin -v error -i movie.mpg -f null - 2>&1").out, "") << "a clean decode";
        const run_result marks = run_shell(cd + "ffmpeg -nostdin -i movie.mpg -vf blackdetect=d=0.1:pix_th=0.5 "
                                                "-af silencedetect=n=-30dB:d=0.1 -f null - 2>&1 | "
                                                "grep -oE '(black|silence)_end: ?[0-9.]+' | sort | tr -d ' '");
        double flash = -1, tone = -1;
        ASSERT_EQ(std::sscanf(marks.out.c_str(), "black_end:%lf\nsilence_end:%lf", &flash, &tone), 2) << marks.out;
        std::printf("%s: tone - flash = %+.1f ms\n", encoder, (tone - flash) * 1000);
        EXPECT_NEAR(tone, flash, 0.040);

        // Sectors other than audio are the input's; the payloads are tmp.mp3's audio, to its end.
        const bytes out = read_bytes(dir / "movie.mpg"), mp3 = read_bytes(dir / "tmp.mp3");
        bytes kept_in, kept_out;
        for (const bytes* m : {&movie, &out})
            for (std::size_t at = 0; at < m->size(); at += sector_size)
                if (read_long(&(*m)[at + 12]) != audio_code) (m == &movie ? kept_in : kept_out).insert((m == &movie ? kept_in : kept_out).end(), &(*m)[at], &(*m)[at] + sector_size);
        EXPECT_TRUE(kept_in == kept_out);
        const bytes payloads = audio_payloads(out);
        ASSERT_GE(mp3.size(), payloads.size());
        EXPECT_GT(payloads.size() + 4096, mp3.size());
        EXPECT_TRUE(std::equal(payloads.begin(), payloads.end(), mp3.end() - static_cast<long>(payloads.size())));
    }
}

}  // namespace
