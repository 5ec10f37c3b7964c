// The real binary, run as a user runs it: the scenarios of tests/cli_cases.txt,
// conversions side by side against one after another, and whole conversions
// with real encoders judged by ffmpeg.
#include "util.h"

#include <fstream>
#include <map>

namespace {

struct cli_case {
    std::string name, setup, enc = "cp prepared.mp2 \"$2\"", env, run, out, err, check = "true";
    int status = 0;
    bool placed = false;
};

void PrintTo(const cli_case& c, std::ostream* os)
{
    *os << c.name;
}

// "\n" stands for a newline and "\\" for a backslash in expected output.
std::string unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == '\\');
        out += escape ? (text[++i] == 'n' ? '\n' : '\\') : text[i];
    }
    return out;
}

std::vector<cli_case> cli_cases()
{
    std::vector<cli_case> cases;
    std::ifstream file(VORNALT_TESTS "/cli_cases.txt");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("== ", 0) == 0) {
            cases.emplace_back();
            cases.back().name = line.substr(3);
        }
        if (cases.empty() || line.empty() || line[0] == '#' || line[0] == '=') continue;
        const std::string key = line.substr(0, line.find(' ')), value = line.size() > 8 ? line.substr(8) : "";
        cli_case& c = cases.back();
        const std::map<std::string, std::string*> raw = {
            {"setup", &c.setup}, {"enc", &c.enc}, {"env", &c.env}, {"run", &c.run}, {"check", &c.check}};
        if (raw.contains(key)) *raw.at(key) = (key == "setup" && !c.setup.empty() ? c.setup + " && " : "") + value;
        if (key == "out" || key == "err") (key == "out" ? c.out : c.err) += unescape(value);
        if (key == "status") c.status = std::stoi(value);
        if (key == "placed") c.placed = true;
    }
    return cases;
}

// Whether text matches pattern, where '*' stands for any text and '#' for a number.
bool matches(const char* p, const char* t)
{
    if (*p == '*') return matches(p + 1, t) || (*t != '\0' && matches(p, t + 1));
    if (*p == '#') return *t >= '0' && *t <= '9' && (matches(p + 1, t + 1) || matches(p, t + 1));
    return *p == *t && (*p == '\0' || matches(p + 1, t + 1));
}

class Cli : public testing::TestWithParam<cli_case> {};

TEST_P(Cli, Scenario)
{
    const cli_case& c = GetParam();
    temp_dir dir;
    stage(dir, c.enc);
    fs::copy_file(dir / "s44.sfd", dir / "movie.sfd");
    ASSERT_EQ(run_shell(dir.cd() + (c.setup.empty() ? "true" : c.setup)).first, 0) << c.setup;
    const auto [status, out] = run_shell(dir.cd() + c.env + " " VORNALT_BIN " " + c.run + " 2>stderr.txt");
    const std::string err = read_text(dir / "stderr.txt");
    EXPECT_TRUE(matches(c.out.c_str(), out.c_str())) << out;
    EXPECT_TRUE(matches(c.err.c_str(), err.c_str())) << err;
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(read_bytes(dir / "movie.sfd"), read_bytes(dir / "s44.sfd")) << "the input keeps its bytes";
    EXPECT_EQ(run_shell(dir.cd() + c.check).first, 0) << c.check;
    if (!c.placed) return;
    const bytes payloads = audio_payloads(read_bytes(dir / "movie.mpg")), prepared = read_bytes(dir / "prepared.mp2");
    ASSERT_GE(payloads.size(), 4000u);
    EXPECT_TRUE(std::equal(prepared.begin(), prepared.begin() + 4000, payloads.begin()));
}

INSTANTIATE_TEST_SUITE_P(Table, Cli, testing::ValuesIn(cli_cases()),
                         [](const testing::TestParamInfo<cli_case>& info) { return info.param.name; });

// Conversions side by side print, write and exit as they do one after
// another and leave no temporary files, also where two inputs have one output
// and one's output is another's input.
TEST(Parallel, SameAsInOrder)
{
    const std::string enc = "echo encoding $(basename \"$1\"); echo to stderr >&2; sleep 0.2; cp prepared.mp2 \"$2\"";
    const std::string args = "-c ./enc s44.sfd s32.sfd nosuch.sfd -o out a/x.sfd b/x.sfd -o '' s48.sfd out/x.mpg";
    std::map<std::string, std::string> runs;  // -j option -> what the run printed and wrote
    for (const std::string parallel : {"", "-j 3 ", "-j0 "}) {
        temp_dir dir;
        stage(dir, enc);
        ASSERT_EQ(run_shell(dir.cd() + "mkdir a b out tmp && cp m22.sfd a/x.sfd && cp s44.sfd b/x.sfd").first, 0);
        const auto [status, out] = run_shell(dir.cd() + "TMPDIR=\"$PWD/tmp\" " VORNALT_BIN " " + parallel + args +
                                             " 2>stderr.txt; echo status $?; md5sum *.mpg out/*");
        runs[parallel] = out + read_text(dir / "stderr.txt");
        if (parallel.empty()) continue;
        EXPECT_EQ(run_shell(dir.cd() + "ls -A tmp; ls tmp.* 2>/dev/null").second, "") << "temporary files left";
    }
    EXPECT_EQ(runs["-j 3 "], runs[""]);
    EXPECT_EQ(runs["-j0 "], runs[""]);
}

// Two processes in one folder take turns with its temporary files.
TEST(Parallel, TwoProcessesInOneFolder)
{
    temp_dir dir;
    stage(dir, "sleep 1; cp prepared.mp2 \"$2\"");
    const std::string both = "{ " VORNALT_BIN " -c ./enc s44.sfd >a.txt 2>&1 & " VORNALT_BIN
                             " -c ./enc s48.sfd >b.txt 2>&1; wait; } && mkdir one && cp *.sfd enc prepared.mp2 one";
    ASSERT_EQ(run_shell(dir.cd() + both + " && cd one && " VORNALT_BIN " -c ./enc s44.sfd s48.sfd").first, 0);
    for (const char* name : {"s44.mpg", "s48.mpg"}) EXPECT_EQ(read_bytes(dir / name), read_bytes(dir / "one" / name));
    const std::string waited =
        "vornalt: waiting for another conversion in this folder (tmp.wav is in use); -j N "
        "converts in parallel";
    EXPECT_EQ(run_shell(dir.cd() + "cat a.txt b.txt | grep -cF '" + waited + "'").second, "1\n");
}

// Black with a white flash and silence with a 1 kHz tone, both from 2.0 s,
// stamped from 0.25 s, made by ffmpeg and the fixture builder: with a real
// encoder the converted tone must start with the flash.
TEST(EndToEnd, RealEncodersGiveMoviesInSync)
{
    REQUIRE_TOOL("ffmpeg");
    temp_dir dir;
    const std::string make =
        "ffmpeg -nostdin -v error -f lavfi -i 'color=c=black:s=160x120:r=25,drawbox=c=white:t=fill:enable=gte(t\\,2)' "
        "-t 4 -c:v mpeg1video -b:v 600k -bf 0 -g 12 -f mpeg1video v.m1v && ffmpeg -nostdin -v error -f lavfi -i "
        "'aevalsrc=if(gte(t\\,2)\\,0.5*sin(2*PI*1000*t)\\,0):s=44100' -t 4 -ac 2 -c:a adpcm_adx -f adx a.adx && " +
        fs::path(VORNALT_BIN).parent_path().string() + "/make_sfd v.m1v a.adx movie.sfd 22500";
    ASSERT_EQ(run_shell(dir.cd() + make).first, 0);
    for (const std::string encoder : {"twolame", "lame", "ffmpeg"}) {
        if (run_shell("command -v " + encoder + " >/dev/null").first != 0) continue;
        const std::string command = encoder == "ffmpeg" ? "'ffmpeg -v error -y -i'" : encoder;
        ASSERT_EQ(run_shell(dir.cd() + VORNALT_BIN " -c " + command + " movie.sfd >/dev/null 2>&1").first, 0);
        const std::string marks = run_shell(dir.cd() +
                                            "ffmpeg -nostdin -i movie.mpg -vf blackdetect=d=0.1:pix_th=0.5 -af "
                                            "silencedetect=n=-30dB:d=0.1 -f null - 2>&1 | grep -oE "
                                            "'(black|silence)_end: ?[0-9.]+' | sort | tr -d ' '")
                                      .second;
        double flash = -1, tone = -1;
        ASSERT_EQ(std::sscanf(marks.c_str(), "black_end:%lf\nsilence_end:%lf", &flash, &tone), 2) << marks;
        std::printf("%s: tone - flash = %+.1f ms\n", encoder.c_str(), (tone - flash) * 1000);
        EXPECT_NEAR(tone, flash, 0.040) << encoder;
        EXPECT_EQ(run_shell(dir.cd() + "ffmpeg -nostdin -v error -i movie.mpg -f null - 2>&1").second, "") << encoder;
    }
}

}  // namespace
