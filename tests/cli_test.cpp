// The real binary, run as a user runs it: the scenarios of tests/cli_cases.txt
// and the golden conversions of tests/golden.txt, judged by independent
// checks (ffmpeg, the twolame program); real encoders keeping a movie in
// sync; conversions side by side under valgrind.
#include "util.h"

#include <iterator>
#include <map>
#include <sstream>

namespace {

// A run of the binary in a folder holding the fixtures, movie.sfd (a copy
// of s44.sfd) and the encoder ./enc, and what it must leave: a scenario's
// output patterns, or a golden conversion's digest and the checks it met.
struct cli_case {
    std::string name, setup = "true", enc = "cp prepared.mp2 \"$2\"", env, run, out, err, check = "true", digest,
                      checked, needs;
    int status = 0;
};

void PrintTo(const cli_case& c, std::ostream* os)
{
    *os << c.name;
}

// "\n" stands for a newline in expected output.
std::string unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) out += text.compare(i, 2, "\\n") == 0 ? (++i, '\n') : text[i];
    return out;
}

std::vector<cli_case> cli_cases()
{
    std::vector<cli_case> cases;
    std::istringstream file(read_text(VORNALT_TESTS "/cli_cases.txt"));
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("== ", 0) == 0) cases.emplace_back().name = line.substr(3);
        if (cases.empty() || line.empty() || line[0] == '#' || line[0] == '=') continue;
        const std::string key = line.substr(0, line.find(' ')), value = line.size() > 8 ? line.substr(8) : "";
        cli_case& c = cases.back();
        // Several setup or check lines are joined into one command.
        for (auto [name, field] : {std::pair{"setup", &c.setup}, {"check", &c.check}})
            if (key == name) *field += " && " + value;
        for (auto [name, field] : {std::pair{"enc", &c.enc}, {"env", &c.env}, {"needs", &c.needs}})
            if (key == name) *field = value;
        if (key == "run") c.run += (c.run.empty() ? "" : " ") + value;
        if (key == "out" || key == "err") (key == "out" ? c.out : c.err) += unescape(value);
        if (key == "status") c.status = std::stoi(value);
    }
    return cases;
}

// The golden conversions, one a line: name, prepared audio, checks, digest, arguments.
std::vector<cli_case> golden_cases()
{
    const std::map<std::string, std::string> encoders = {
        {"mp2", "cp prepared.mp2 \"$2\""},
        {"mp3", "cp prepared.mp3 \"$2\""},
        {"mp2x4", "cat prepared.mp2 prepared.mp2 prepared.mp2 prepared.mp2 > \"$2\""},
        {"mp2cut", "head -c 14160 prepared48.mp2 > \"$2\""},
        {"none", "exit 1"},  // no encoder may run
        {"builtin", "exit 1"}};
    std::vector<cli_case> cases;
    std::istringstream table(read_text(VORNALT_TESTS "/golden.txt"));
    for (std::string line, audio, args; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        cli_case c;
        std::istringstream fields(line);
        fields >> c.name >> audio >> c.checked >> c.digest >> std::ws;
        std::getline(fields, args);
        c.enc = encoders.at(audio);
        c.run = (audio == "builtin" ? "" : "-c ./enc ") + args;
        cases.push_back(c);
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

// A folder for conversions: the fixture movies and prepared audio, movie.sfd,
// and an encoder ./enc whose body is given.
void stage(const temp_dir& dir, const std::string& encoder)
{
    fs::copy(VORNALT_FIXTURES, dir.path, fs::copy_options::recursive);
    fs::copy_file(dir / "s44.sfd", dir / "movie.sfd");
    std::ofstream(dir / "enc") << encoder;
    fs::permissions(dir / "enc", fs::perms::owner_all);
}

// The audio payloads of each output are the encoded audio from its start,
// all of it unless audio was lost.
void check_payloads(const temp_dir& dir, const std::vector<std::string>& outputs, bool whole)
{
    const std::string encoded = run_shell(dir.cd() + "sh ./enc x /dev/stdout").second;
    for (const std::string& out : outputs) {
        const bytes payloads = audio_payloads(read_bytes(dir / out));
        const std::string placed(payloads.begin(), payloads.end());
        EXPECT_EQ(placed, encoded.substr(0, whole ? encoded.size() : placed.size())) << out;
    }
}

// tmp.wav of a run at full level (-l), read through its header by ffmpeg,
// equals ffmpeg's own decode of the movie's ADX audio.
void check_adx(const temp_dir& dir, const std::string& movie)
{
    const std::string ours = run_shell(dir.cd() + "ffmpeg -nostdin -v error -i tmp.wav -f s16le -").second;
    const std::string ref =
        run_shell(dir.cd() + "ffmpeg -nostdin -v error -c:a adpcm_adx -i " + movie + " -map 0:a -f s16le -").second;
    const std::size_t n = std::min(ours.size(), ref.size());
    ASSERT_GT(n, ref.size() * 9 / 10);
    EXPECT_TRUE(ours.compare(0, n, ref, 0, n) == 0) << movie;
}

// The same run with the twolame program as its encoder in place of the
// built-in one (-b N first in the arguments gives twolame -b N) leaves the
// same standard output, tmp.wav, tmp.mp3 and outputs.
void check_twolame(const cli_case& c, const temp_dir& dir, std::vector<std::string> files)
{
    if (!has_tool("twolame")) GTEST_SKIP() << "twolame is not on the PATH";
    temp_dir other;
    stage(other, c.enc);
    const std::size_t args = c.run.rfind("-b ", 0) == 0 ? c.run.find(' ', 3) : 0;
    const std::string encoder = "'twolame " + c.run.substr(0, args) + "' ";
    run_shell(other.cd() + VORNALT_BIN " -c " + encoder + c.run.substr(args) + " >stdout.txt 2>/dev/null");
    files.insert(files.end(), {"stdout.txt", "tmp.wav", "tmp.mp3"});
    for (const std::string& file : files)
        EXPECT_TRUE(read_text(dir / file) == read_text(other / file)) << file << " differs from twolame's run";
}

// A golden conversion leaves its recorded digest of status, standard output
// and error, tmp.wav and outputs (VORNALT_RECORD=1 prints the row's name with
// this build's digest instead), and meets its checks again where ffmpeg is found.
void check_golden(const cli_case& c, const temp_dir& dir, int status)
{
    const std::string what = "{ echo status " + std::to_string(status) +
                             "; cat stdout.txt stderr.txt; cat tmp.wav 2>/dev/null; find . -name '*.mpg' | sort | "
                             "xargs -r cat; } | sha256sum | cut -c1-16 | tr -d '\\n'";
    const std::string digest = run_shell(dir.cd() + what).second;
    if (std::getenv("VORNALT_RECORD") != nullptr) {
        std::printf("%s %s\n", c.name.c_str(), digest.c_str());
    } else {
        EXPECT_EQ(digest, c.digest) << read_text(dir / "stdout.txt") << read_text(dir / "stderr.txt");
    }
    REQUIRE_TOOL("ffmpeg");
    std::istringstream list(run_shell(dir.cd() + "find . -name '*.mpg' | sort").second);
    const std::vector<std::string> outputs(std::istream_iterator<std::string>(list), {});
    const auto checked = [&](const char* check) { return c.checked.find(check) != std::string::npos; };
    for (const std::string& out : outputs) {
        const std::string errors =
            run_shell(dir.cd() + "ffmpeg -nostdin -v error -i " + out + " -f null - 2>&1").second;
        EXPECT_TRUE(!checked("decode") || errors.empty()) << out << ": " << errors;
    }
    if (checked("payloads")) check_payloads(dir, outputs, status == 0);
    if (checked("adx")) check_adx(dir, c.run.substr(c.run.rfind(' ') + 1));
    if (checked("twolame")) check_twolame(c, dir, outputs);
}

class Cli : public testing::TestWithParam<cli_case> {};

TEST_P(Cli, Run)
{
    const cli_case& c = GetParam();
    // The tools that the build found for the tests (chdman289) come first.
    static const int tools_first = setenv("PATH", (VORNALT_TOOLS ":" + std::string(std::getenv("PATH"))).c_str(), 1);
    (void)tools_first;
    std::istringstream needs(c.needs);
    for (std::string tool; needs >> tool;)
        if (!has_tool(tool)) GTEST_SKIP() << tool << " is not on the PATH";
    setenv("VORNALT", VORNALT_BIN, 1);  // for cases that start it more than once
    setenv("MAKE_DISC", MAKE_DISC_BIN, 1);
    setenv("MAKE_CHD", MAKE_CHD_BIN, 1);
    setenv("MAKE_CDI", MAKE_CDI_BIN, 1);
    temp_dir dir;
    stage(dir, c.enc);
    ASSERT_EQ(run_shell(dir.cd() + c.setup).first, 0) << c.setup;
    const int status =
        run_shell(dir.cd() + "{ " + c.env + " " VORNALT_BIN " " + c.run + "; } >stdout.txt 2>stderr.txt").first;
    EXPECT_EQ(read_bytes(dir / "movie.sfd"), read_bytes(dir / "s44.sfd")) << "the input keeps its bytes";
    if (!c.digest.empty()) return check_golden(c, dir, status);
    const std::string out = read_text(dir / "stdout.txt"), err = read_text(dir / "stderr.txt");
    EXPECT_TRUE(matches(c.out.c_str(), out.c_str())) << out;
    EXPECT_TRUE(matches(c.err.c_str(), err.c_str())) << err;
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(run_shell(dir.cd() + c.check).first, 0) << c.check;
}

const auto case_name = [](const testing::TestParamInfo<cli_case>& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Scenario, Cli, testing::ValuesIn(cli_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(Golden, Cli, testing::ValuesIn(golden_cases()), case_name);

// The marker movie converted with the built-in and real encoders: the tone
// must start with the flash (both at 2.0 s, the movie stamped from 0.25 s).
TEST(EndToEnd, RealEncodersGiveMoviesInSync)
{
    REQUIRE_TOOL("ffmpeg");
    temp_dir dir;
    fs::copy_file(fixture("marker.sfd"), dir / "movie.sfd");
    for (const auto& [encoder, tool] : {std::pair{"-b 192", "sh"},
                                        {"-c twolame", "twolame"},
                                        {"-c lame", "lame"},
                                        {"-c 'ffmpeg -v error -y -i'", "ffmpeg"}}) {
        if (!has_tool(tool)) continue;
        ASSERT_EQ(run_shell(dir.cd() + VORNALT_BIN " " + encoder + " movie.sfd >/dev/null 2>&1").first, 0) << encoder;
        const std::string marks = run_shell(dir.cd() +
                                            "ffmpeg -nostdin -i movie.mpg -vf blackdetect=d=0.1:pix_th=0.5 -af "
                                            "silencedetect=n=-30dB:d=0.1 -f null - 2>&1 | grep -oE "
                                            "'(black|silence)_end: ?[0-9.]+' | sort | tr -d ' '")
                                      .second;
        double flash = -1, tone = -1;
        ASSERT_EQ(std::sscanf(marks.c_str(), "black_end:%lf\nsilence_end:%lf", &flash, &tone), 2) << marks;
        EXPECT_NEAR(tone, flash, 0.040) << encoder;
        EXPECT_EQ(run_shell(dir.cd() + "ffmpeg -nostdin -v error -i movie.mpg -f null - 2>&1").second, "") << encoder;
    }
}

// Conversions side by side under valgrind, in the build that users get.
// libtwolame fills tables shared by all encoders on its first encode: the
// built-in encoders must not race on them (helgrind sees into the library,
// which ThreadSanitizer can't), nor the helpers that decode a CHD's hunks
// ahead (in liblzma, zlib and libFLAC). Running external encoders must leave
// nothing allocated behind (memcheck).
TEST(EndToEnd, SideBySideWithoutRacesOrLeaksUnderValgrind)
{
#ifdef VORNALT_SANITIZED
    GTEST_SKIP() << "valgrind does not run sanitizer builds";
#endif
    REQUIRE_TOOL("valgrind");
    temp_dir dir;
    stage(dir, "cp prepared.mp2 \"$2\"");
    for (const auto& [tool, encoder] :
         {std::pair{"--tool=helgrind", "-b 64"}, {"--leak-check=full --errors-for-leak-kinds=definite", "-c ./enc"}}) {
        const auto [status, out] = run_shell(dir.cd() + "valgrind --error-exitcode=99 " + tool +
                                             " " VORNALT_BIN " -j 2 " + encoder + " s44.sfd m22.sfd 2>valgrind.txt");
        EXPECT_EQ(status, 0) << tool << read_text(dir / "valgrind.txt");
        EXPECT_NE(out.find("m22.sfd -> m22.mpg"), std::string::npos) << out;
    }
    if (!has_tool("genisoimage") || !has_tool("chdman")) return;
    ASSERT_EQ(run_shell(dir.cd() + "MAKE_DISC=" MAKE_DISC_BIN " sh discs.sh && chdman createcd -i raw/disc.gdi -o "
                                   "d.chd >/dev/null 2>&1")
                  .first,
              0);
    const auto [status, out] = run_shell(dir.cd() + "valgrind --error-exitcode=99 --tool=helgrind " VORNALT_BIN
                                                    " -j 2 -c ./enc d.chd 2>valgrind.txt");
    EXPECT_EQ(status, 0) << read_text(dir / "valgrind.txt");
    EXPECT_NE(out.find("d.chd/MOVIE/OPENING.SFD -> d/MOVIE/OPENING.mpg"), std::string::npos) << out;
}

}  // namespace
