// Whole conversions with real encoders, checked by an independent client.
#include "test_util.h"
#include "vornalt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

struct encoder_case {
    const char* command;
    const char* codec;  // what ffprobe must call the audio
};

class EndToEnd : public testing::TestWithParam<encoder_case> {};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool is_audio(const std::uint8_t* sector)
{
    return read_long(sector) == pack_code && read_long(sector + 12) == audio_code;
}

TEST_P(EndToEnd, ConvertsAMovieThatPlayersAccept)
{
    const encoder_case c = GetParam();
    temp_dir dir;
    const bytes input = tone_movie(3.0);
    write_bytes(dir / "movie.sfd", input);
    const std::string cd = "cd " + quoted(dir.path.string()) + " && ";

    const run_result run = run_shell(cd + quoted(VORNALT_BIN) + " -c " + c.command + " movie.sfd 2>/dev/null");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(run.out.starts_with("movie.sfd -> movie.mpg\npass 1\nmake mpeg audio\npass 2\nrest:")) << run.out;
    EXPECT_EQ(read_bytes(dir / "movie.sfd"), input);

    // ffprobe sees the video and the encoded audio.
    const run_result probe = run_shell(cd + "ffprobe -v error -show_entries stream=codec_type,codec_name "
                                            "-of csv=p=0 movie.mpg");
    ASSERT_EQ(probe.status, 0);
    auto streams = lines_of(probe.out);
    std::sort(streams.begin(), streams.end());
    EXPECT_EQ(streams, (std::vector<std::string>{std::string(c.codec) + ",audio", "mpeg1video,video"})) << probe.out;

    // ffmpeg decodes it all; only the zero bytes after the encoded audio may be refused, once.
    const run_result decode = run_shell(cd + "ffmpeg -nostdin -v error -i movie.mpg -f null - 2>&1");
    EXPECT_EQ(decode.status, 0);
    int invalid = 0;
    for (const auto& line : lines_of(decode.out)) {
        if (line.find("Invalid data found") != std::string::npos) {
            ++invalid;
        } else {
            ADD_FAILURE() << "ffmpeg: " << line;
        }
    }
    EXPECT_LE(invalid, 1);

    // The decoded audio is the tone that went in.
    const run_result pcm = run_shell(cd + "ffmpeg -nostdin -v quiet -i movie.mpg -map 0:a -ac 1 -f s16le - | od -An -v -td2");
    ASSERT_EQ(pcm.status, 0);
    std::vector<double> samples;
    std::istringstream values(pcm.out);
    for (double v; values >> v;) samples.push_back(v);
    ASSERT_GT(samples.size(), 44100u * 2);
    samples.resize(44100 * 2);  // the first two seconds: the tail may be cut where the audio ran out
    EXPECT_GT(tone_fraction(samples, 44100, 1000), 0.9);

    // Every non-audio sector kept is the input's, and the audio payloads are tmp.mp3 from its start.
    const bytes output = read_bytes(dir / "movie.mpg");
    const bytes mp3 = read_bytes(dir / "tmp.mp3");
    ASSERT_EQ(output.size() % sector_size, 0u);
    std::vector<const std::uint8_t*> kept_input;
    for (std::size_t at = 0; at < input.size(); at += sector_size) {
        if (!is_audio(input.data() + at)) kept_input.push_back(input.data() + at);
    }
    std::size_t next = 0;
    bytes payloads;
    for (std::size_t at = 0; at < output.size(); at += sector_size) {
        const std::uint8_t* s = output.data() + at;
        if (is_audio(s)) {
            EXPECT_EQ(read_word(s + 16), 2030);
            const int h = skip_block_header(s + 18, 2030).length;
            payloads.insert(payloads.end(), s + 18 + h, s + 2048);
            continue;
        }
        ASSERT_LT(next, kept_input.size());
        EXPECT_EQ(0, std::memcmp(s, kept_input[next++], sector_size)) << "sector at " << at;
    }
    EXPECT_EQ(next, kept_input.size());
    const std::size_t placed = std::min(payloads.size(), mp3.size());
    EXPECT_GT(placed, mp3.size() / 2);
    EXPECT_TRUE(std::equal(mp3.begin(), mp3.begin() + static_cast<long>(placed), payloads.begin()));
    EXPECT_TRUE(std::all_of(payloads.begin() + static_cast<long>(placed), payloads.end(), [](auto b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Encoders, EndToEnd,
                         testing::Values(encoder_case{"twolame", "mp2"}, encoder_case{"lame", "mp3"}),
                         [](const auto& info) { return std::string(info.param.command); });

} // namespace
