// The real binary, run as a user runs it: the argument walk, the job's
// messages and exit status, and the files it must never destroy.
#include "test_util.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

const std::string usage =
    "Convertidor videos Dreamcast SFD->MPEG1    \n vornalt [-option] <infile>\n"
    "  -c <\"mp3 encoder [encoder option]\">Utilidad por lumo.  \nLea README.TXT para instrucciones.       \n";

class Cli : public testing::Test {
protected:
    temp_dir dir;

    // Runs vornalt in the test's folder; the encoder's own chatter on stderr is dropped.
    run_result vornalt(const std::string& args, bool with_stderr = false)
    {
        return run_shell("cd " + quoted(dir.path.string()) + " && " + quoted(VORNALT_BIN) + " " + args +
                         (with_stderr ? " 2>&1" : " 2>/dev/null"));
    }

    // An encoder that copies a prepared MPEG audio stream into tmp.mp3.
    std::string copy_encoder()
    {
        write_bytes(dir / "prepared.mp2", mp2_tone(1.0));
        write_script(dir / "enc", "touch encoder-ran; cp prepared.mp2 \"$2\"");
        return "./enc";
    }

    bytes movie() { return tone_movie(1.0); }
};

TEST_F(Cli, UsageAndExitStatus)
{
    const run_result none = vornalt("");
    EXPECT_EQ(none.out, usage);
    EXPECT_EQ(none.status, 255) << "-1 from main";
    const run_result options = vornalt("-v -x - -c");
    EXPECT_EQ(options.out, "");
    EXPECT_EQ(options.status, 0);
}

TEST_F(Cli, OptionsActOnTheInputsThatFollowThem)
{
    const std::string enc = copy_encoder();
    for (const char* name : {"a.sfd", "b.sfd", "c.sfd"}) write_bytes(dir / name, movie());
    const run_result r = vornalt("-c " + enc + " a.sfd -verbose b.sfd -cfoo false c.sfd nosuch.sfd -q -c");
    const std::string audio_report =
        "version: 1\nlayer: II\nprotection: 1\nbit_rate: 128\nfrequency: 44100\npadding: 0\nmode: stereo\n"
        "mode_extension: 0\ncopyright: no copyright\noriginal: original\nemphasis: none\nframesize: 418\n";
    const std::regex expect("a\\.sfd -> a\\.mpg\npass 1\nmake mpeg audio\npass 2\nrest:[0-9]+ "
                            "b\\.sfd -> b\\.mpg\npass 1\nmake mpeg audio\npass 2\n" +
                            audio_report +
                            "(width: 160\nheight: 120\naspect: 1\npict rate: 3\nbit rate: [0-9]+\nbuffer size:[0-9]+\n)+"
                            "rest:[0-9]+ "
                            "c\\.sfd -> c\\.mpg\npass 1\nmake mpeg audio\n"
                            "nosuch\\.sfd -> nosuch\\.mpg\ncan't open nosuch\\.sfd\n");
    EXPECT_TRUE(std::regex_match(r.out, expect)) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::exists(dir / "a.mpg"));
    EXPECT_TRUE(fs::exists(dir / "b.mpg"));
    EXPECT_FALSE(fs::exists(dir / "c.mpg"));
}

TEST_F(Cli, FailuresStopOneJobWithTheirMessage)
{
    struct test_case {
        const char* name;
        std::function<void(const fs::path&, const bytes&)> setup;  // prepares the folder, given the input
        std::string args;
        std::string expect;         // whole standard output
        bool encoder_runs;
        const char* absent;         // a file that must not exist afterwards
    };
    const test_case cases[] = {
        {"input is tmp.wav", nullptr, "-c ./enc tmp.wav",
         "tmp.wav -> tmp.mpg\npass 1\ncan't open tempolary wav file\n", false, nullptr},
        {"input is a link to tmp.wav", [](const fs::path& d, const bytes&) { fs::create_hard_link(d / "tmp.wav", d / "in.sfd"); },
         "-c ./enc in.sfd", "in.sfd -> in.mpg\npass 1\ncan't open tempolary wav file\n", false, "in.mpg"},
        {"input is tmp.mp3", [](const fs::path& d, const bytes& input) { write_bytes(d / "tmp.mp3", input); },
         "-c ./enc tmp.mp3",
         "tmp.mp3 -> tmp.mpg\npass 1\nmake mpeg audio\ncan't open tempolary mp3 file\n", false, "tmp.mpg"},
        {"input is a symlink to tmp.mp3", [](const fs::path& d, const bytes& input) { fs::create_symlink("tmp.mp3", d / "in.sfd");
             write_bytes(d / "tmp.mp3", input); },
         "-c ./enc in.sfd", "in.sfd -> in.mpg\npass 1\nmake mpeg audio\ncan't open tempolary mp3 file\n", false,
         "in.mpg"},
        {"input is its own output", nullptr, "-c ./enc x.mpg",
         "x.mpg -> x.mpg\npass 1\nmake mpeg audio\npass 2\ncan't open x.mpg\n", true, nullptr},
        {"encoder fails", nullptr, "-c false movie.sfd", "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\n", false,
         "movie.mpg"},
        {"stale tmp.mp3 is not reused",
         [](const fs::path& d, const bytes&) { write_bytes(d / "tmp.mp3", mp2_tone(1.0)); }, "-c true movie.sfd",
         "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\npass 2\ncan't open tempolary mp3 file\n", false,
         "movie.mpg"},
        {"encoder writes garbage", [](const fs::path& d, const bytes&) { write_script(d / "junk", "echo garbage > \"$2\""); },
         "-c ./junk movie.sfd", "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\npass 2\nbad mpeg audio header\n",
         false, "movie.mpg"},
        {"encoder writes 3 bytes", [](const fs::path& d, const bytes&) { write_script(d / "short", "printf '\\377\\375\\200' > \"$2\""); },
         "-c ./short movie.sfd", "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\npass 2\nbad mpeg audio header\n",
         false, "movie.mpg"},
        {"output can't be created", [](const fs::path& d, const bytes&) { fs::create_directory(d / "movie.mpg"); }, "-c ./enc movie.sfd",
         "movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\npass 2\ncan't open movie.mpg\n", true, nullptr},
        {"output can't be written", [](const fs::path& d, const bytes&) { fs::create_symlink("/dev/full", d / "movie.mpg"); },
         "-c ./enc movie.sfd", "", true, "movie.mpg"},
        {"tmp.wav can't be written", [](const fs::path& d, const bytes&) { fs::remove(d / "tmp.wav");
             fs::create_symlink("/dev/full", d / "tmp.wav"); },
         "-c ./enc movie.sfd", "movie.sfd -> movie.mpg\npass 1\ncan't write tmp.wav\n", false, "movie.mpg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir.path);
        fs::create_directory(dir.path);
        copy_encoder();
        const bytes input = movie();
        for (const char* name : {"movie.sfd", "tmp.wav", "x.mpg"}) write_bytes(dir / name, input);
        if (c.setup) c.setup(dir.path, input);

        const run_result r = vornalt(c.args);
        if (c.expect.empty()) {
            EXPECT_TRUE(std::regex_match(r.out, std::regex("movie\\.sfd -> movie\\.mpg\npass 1\nmake mpeg audio\n"
                                                           "pass 2\nrest:[0-9]+ can't write movie\\.mpg\n")))
                << r.out;
        } else {
            EXPECT_EQ(r.out, c.expect);
        }
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(fs::exists(dir / "encoder-ran"), c.encoder_runs);
        if (c.absent != nullptr) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(dir / c.absent))) << c.absent;
        }
        // The input, whatever it is, keeps its bytes.
        const std::string input_name = c.args.substr(c.args.rfind(' ') + 1);
        EXPECT_EQ(read_bytes(dir / input_name), input) << input_name;
    }
}

TEST_F(Cli, LongNamesAndOrderedLog)
{
    const std::string enc = copy_encoder();
    write_script(dir / "loud", "echo ENCODER; cp prepared.mp2 \"$2\"");
    const std::string name(240, 'n');
    write_bytes(dir / (name + ".sfd"), movie());
    const run_result r = vornalt("-c ./loud " + name + ".sfd", true);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dir / (name + ".mpg")));
    EXPECT_NE(r.out.find("make mpeg audio\nENCODER\npass 2\n"), std::string::npos) << r.out;

    // A long encoder command is passed whole.
    const std::string long_enc = "./enc" + std::string(2000, ' ');
    const run_result spaced = vornalt("-c " + quoted(long_enc) + " " + name + ".sfd");
    EXPECT_EQ(spaced.status, 0) << spaced.out;

    // Output names the file system rejects: too long a file name, a folder that isn't there.
    fs::create_directory(dir / "d");
    const std::string long_base = "d/" + std::string(252, 'n');
    write_bytes(dir / long_base, movie());
    fs::create_directory(dir / "a\\b");
    write_bytes(dir / "a\\b" / "movie.sfd", movie());
    const run_result rejected = vornalt("-c " + enc + " " + long_base + " 'a\\b/movie.sfd'");
    EXPECT_EQ(rejected.out, long_base + " -> " + long_base + ".mpg\npass 1\nmake mpeg audio\npass 2\ncan't open " +
                                long_base + ".mpg\n" + "a\\b/movie.sfd -> b/movie.mpg\npass 1\nmake mpeg audio\npass 2\n" +
                                "can't open b/movie.mpg\n");
    EXPECT_EQ(rejected.status, 1);
}

} // namespace
