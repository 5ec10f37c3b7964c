// The golden conversions of tests/golden.txt: each row's arguments run on the
// committed fixtures with a stand-in encoder that copies prepared audio, and
// the digest of what the run left must be the recorded one. The oracles that
// the row names were met when its digest was recorded and must hold again
// wherever ffmpeg is found. VORNALT_RECORD=1 prints the rows with this
// build's digests instead of comparing them.
#include "util.h"

#include <cmath>
#include <fstream>
#include <sstream>

namespace {

struct golden_row {
    std::string name, audio, checked, digest, args;
};

void PrintTo(const golden_row& row, std::ostream* os)
{
    *os << row.name;
}

std::vector<golden_row> golden_rows()
{
    std::vector<golden_row> rows;
    std::ifstream table(VORNALT_TESTS "/golden.txt");
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        golden_row row;
        fields >> row.name >> row.audio >> row.checked >> row.digest >> std::ws;
        std::getline(fields, row.args);
        rows.push_back(row);
    }
    return rows;
}

// The stand-in encoder of each kind of prepared audio.
std::string encoder_for(const std::string& audio)
{
    if (audio == "mp2x4") return "cat prepared.mp2 prepared.mp2 prepared.mp2 prepared.mp2 > \"$2\"";
    if (audio == "mp2cut") return "head -c 14160 prepared48.mp2 > \"$2\"";  // 59 frames
    return "cp prepared." + audio + " \"$2\"";
}

// ffmpeg decodes each output with no error and finds its audio and video.
void check_decode(const temp_dir& dir, const std::vector<std::string>& outputs)
{
    for (const std::string& out : outputs) {
        EXPECT_EQ(run_shell(dir.cd() + "ffmpeg -nostdin -v error -i " + out + " -f null - 2>&1").second, "") << out;
        const std::string probe = "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + out + " | sort";
        EXPECT_EQ(run_shell(dir.cd() + probe).second, "audio\nvideo\n") << out;
    }
}

// The audio payloads of each output are the encoded audio from its start.
void check_payloads(const temp_dir& dir, const std::vector<std::string>& outputs, const std::string& audio)
{
    const std::string text = run_shell(dir.cd() + "sh ./enc x /dev/stdout").second;
    const bytes encoded(text.begin(), text.end());
    for (const std::string& out : outputs) {
        const bytes payloads = audio_payloads(read_bytes(dir / out));
        ASSERT_LE(payloads.size(), encoded.size()) << out;
        EXPECT_TRUE(std::equal(payloads.begin(), payloads.end(), encoded.begin())) << out;
        if (audio != "mp2x4") {
            EXPECT_EQ(payloads.size(), encoded.size()) << out << ": the whole audio placed";
        }
    }
}

// tmp.wav, read through its header by ffmpeg, against ffmpeg's own decode of
// the movie's ADX audio: equal at full level; at the standard level the same
// sound at 4576/16384 of its level.
void check_adx(const temp_dir& dir, const std::string& movie, bool full)
{
    const auto ours = samples(run_shell(dir.cd() + "ffmpeg -nostdin -v error -i tmp.wav -f s16le -").second);
    const auto ref = samples(
        run_shell(dir.cd() + "ffmpeg -nostdin -v error -c:a adpcm_adx -i " + movie + " -map 0:a -f s16le -").second);
    const std::size_t n = std::min(ours.size(), ref.size());
    ASSERT_GT(n, ref.size() * 9 / 10);
    if (full) {
        EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + static_cast<long>(n), ref.begin())) << movie;
        return;
    }
    double sx = 0, sy = 0, xy = 0, xx = 0, yy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = ours[i], y = ref[i];
        sx += x, sy += y, xy += x * y, xx += x * x, yy += y * y;
    }
    const double m = static_cast<double>(n), vx = xx - sx * sx / m, vy = yy - sy * sy / m;
    EXPECT_GE((xy - sx * sy / m) / std::sqrt(vx * vy), 0.999) << movie;
    EXPECT_NEAR(std::sqrt(vx / vy), 4576.0 / 16384, 0.005) << movie;
}

class Golden : public testing::TestWithParam<golden_row> {};

TEST_P(Golden, Conversion)
{
    const golden_row& row = GetParam();
    temp_dir dir;
    stage(dir, encoder_for(row.audio));
    const std::string run = VORNALT_BIN " -c ./enc " + row.args + " >stdout.txt 2>stderr.txt; echo status $?";
    const std::string leftovers = "find . -name '*.mpg' | sort";
    const std::string digest = run_shell(dir.cd() + "{ " + run + "; cat stdout.txt stderr.txt; cat tmp.wav " +
                                         "2>/dev/null; " + leftovers + " | xargs -r cat; } | sha256sum | cut -c1-16")
                                   .second;
    if (std::getenv("VORNALT_RECORD") != nullptr) {
        std::printf("%-14s %-7s %-16s %s %s\n", row.name.c_str(), row.audio.c_str(), row.checked.c_str(),
                    digest.substr(0, 16).c_str(), row.args.c_str());
    } else {
        EXPECT_EQ(digest, row.digest + "\n") << read_text(dir / "stdout.txt") << read_text(dir / "stderr.txt");
    }
    if (run_shell("command -v ffmpeg >/dev/null").first != 0) GTEST_SKIP() << "ffmpeg is not on the PATH";
    std::istringstream list(run_shell(dir.cd() + leftovers).second);
    std::vector<std::string> outputs;
    for (std::string out; list >> out;) outputs.push_back(out);
    const std::string movie = row.args.substr(row.args.rfind(' ') + 1);
    if (row.checked.find("decode") != std::string::npos) check_decode(dir, outputs);
    if (row.checked.find("payloads") != std::string::npos) check_payloads(dir, outputs, row.audio);
    if (row.checked.find("adx") != std::string::npos) check_adx(dir, movie, row.args.find("-l") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, Golden, testing::ValuesIn(golden_rows()),
                         [](const testing::TestParamInfo<golden_row>& info) { return info.param.name; });

}  // namespace
