// ADX frame decoder and the streaming WAV writer.
#include "adxconv.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstring>

#include <random>

namespace {

std::uint32_t le32(const bytes& b, std::size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// A file that lives as long as the test; the writer writes into it.
struct wav_file {
    std::FILE* f = std::tmpfile();
    ~wav_file() { std::fclose(f); }
    bytes contents() const { return file_contents(f); }
};

// The WAV bytes the writer makes of a stream handed over in the given chunks,
// with the end-of-stream call at the end.
bytes write_chunks(const bytes& stream, const std::vector<std::size_t>& sizes, std::string* printed = nullptr)
{
    wav_file wav;
    const std::string out = capture_stdout([&] {
        adx_write_init();
        std::size_t at = 0;
        for (const std::size_t n : sizes) {
            adx_write(wav.f, stream.data() + at, static_cast<int>(n));
            at += n;
        }
        adx_write(wav.f, nullptr, 0);
    });
    if (printed != nullptr) *printed = out;
    return wav.contents();
}

bytes write_whole(const bytes& stream, std::string* printed = nullptr)
{
    return write_chunks(stream, {stream.size()}, printed);
}

std::size_t header_length(const bytes& adx)
{
    return static_cast<std::size_t>((adx[2] << 8 | adx[3]) + 4);
}

TEST(Decoder, WorkedValuesClampingAndWrapping)
{
    struct test_case {
        const char* name;
        std::uint8_t frame[18];
        std::vector<std::int16_t> expect;  // the first samples
    };
    const test_case cases[] = {
        {"zero data, big scale", {0xFF, 0xFF}, std::vector<std::int16_t>(32, 0)},
        {"nibble 7, scale 1", {0x00, 0x01, 0x70}, {1, 1, 0}},
        {"nibble 8 rounds down, scale 1", {0x00, 0x01, 0x80}, {-3, -6, -9}},
        // 7 x 65535 x 4576 >> 14 = 128126: clamped, and the clamped value feeds the predictor.
        {"clamped high", {0xFF, 0xFF, 0x70}, {32767, 32767, 32399}},
        // -8 x 65535 x 4576 leaves the 32-bit range and wraps to a positive value.
        {"product wraps", {0xFF, 0xFF, 0x80}, {32767}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::int16_t out[32];
        int hist[2] = {0, 0};
        EXPECT_EQ(convert(out, c.frame, hist), out + 32);
        for (std::size_t i = 0; i < c.expect.size(); ++i) EXPECT_EQ(out[i], c.expect[i]) << "sample " << i;
        EXPECT_EQ(hist[0], out[31]);
        EXPECT_EQ(hist[1], out[30]);
    }
}

TEST(Decoder, MonoContinuesHistoryAndStereoChannelsKeepTheirOwn)
{
    std::uint8_t unit[36];
    std::mt19937 rng(7);
    for (auto& b : unit) b = static_cast<std::uint8_t>(rng());

    // Mono: the second frame continues where the first ended.
    std::int16_t mono[64];
    int prev[4] = {100, -50, 0, 0};
    convert_mono(mono, unit, prev);
    std::int16_t ref[64];
    int hist[2] = {100, -50};
    convert(convert(ref, unit, hist), unit + 18, hist);
    EXPECT_EQ(0, std::memcmp(mono, ref, sizeof ref));
    EXPECT_EQ(prev[0], hist[0]);
    EXPECT_EQ(prev[2], 0) << "mono leaves the second channel's history alone";

    // Stereo: left from prev[0..1], right from prev[2..3], interleaved.
    int sprev[4] = {1000, 900, -2000, -1900};
    std::int16_t stereo[64];
    convert_stereo(stereo, unit, sprev);
    int left_hist[2] = {1000, 900};
    int right_hist[2] = {-2000, -1900};
    std::int16_t left[32];
    std::int16_t right[32];
    convert(left, unit, left_hist);
    convert(right, unit + 18, right_hist);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(stereo[2 * i], left[i]);
        EXPECT_EQ(stereo[2 * i + 1], right[i]);
    }
    EXPECT_EQ(sprev[0], left_hist[0]);
    EXPECT_EQ(sprev[1], left_hist[1]);
    EXPECT_EQ(sprev[2], right_hist[0]);
    EXPECT_EQ(sprev[3], right_hist[1]);
}

TEST(Writer, SameBytesWhateverTheChunking)
{
    const bytes& adx = adx_tone(2, 44100, 0.3);
    const std::size_t head = header_length(adx);
    const bytes whole = write_whole(adx);
    ASSERT_GT(whole.size(), 44u);

    for (std::size_t p = 1; p <= 80; ++p) {
        std::vector<std::size_t> sizes = {head + p};
        for (std::size_t at = head + p; at < adx.size(); at += p) sizes.push_back(std::min(p, adx.size() - at));
        ASSERT_EQ(write_chunks(adx, sizes), whole) << "chunks of " << p;
    }
    std::mt19937 rng(42);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> sizes = {head + rng() % 3};
        std::size_t at = sizes[0];
        while (at < adx.size()) {
            // mostly small chunks, with empty and one-byte chunks mixed in
            const std::size_t n = std::min<std::size_t>(rng() % 4 == 0 ? rng() % 2 : rng() % 120, adx.size() - at);
            sizes.push_back(n);
            at += n;
        }
        ASSERT_EQ(write_chunks(adx, sizes), whole) << "random round " << round;
    }
}

TEST(Writer, HeaderFromTheAdxHeaderAndTheSampleLimit)
{
    bytes adx = adx_tone(2, 44100, 0.3);
    // Declare fewer samples than the frames hold: the data stops exactly there.
    adx[12] = 0;
    adx[13] = 0;
    adx[14] = 0x03;
    adx[15] = 0xE9;  // 1001 samples per channel
    const bytes wav = write_whole(adx);
    ASSERT_EQ(wav.size(), 44u + 4 * 1001);
    EXPECT_EQ(0, std::memcmp(wav.data(), "RIFF", 4));
    EXPECT_EQ(le32(wav, 4), 36u + 4 * 1001);
    EXPECT_EQ(0, std::memcmp(wav.data() + 8, "WAVEfmt ", 8));
    EXPECT_EQ(le32(wav, 16), 16u);
    EXPECT_EQ(wav[20] | wav[21] << 8, 1);
    EXPECT_EQ(wav[22] | wav[23] << 8, 2);
    EXPECT_EQ(le32(wav, 24), 44100u);
    EXPECT_EQ(le32(wav, 28), 176400u);
    EXPECT_EQ(wav[32] | wav[33] << 8, 4);
    EXPECT_EQ(wav[34] | wav[35] << 8, 16);
    EXPECT_EQ(0, std::memcmp(wav.data() + 36, "data", 4));
    EXPECT_EQ(le32(wav, 40), 4u * 1001);
}

TEST(Writer, HugeSampleCountsAreCappedToFitTheSizeFields)
{
    for (const int channels : {1, 2}) {
        bytes adx = adx_tone(channels, 22050, 0.1);
        adx[12] = adx[13] = adx[14] = adx[15] = 0xFF;
        wav_file wav;
        capture_stdout([&] {
            adx_write_init();
            adx_write(wav.f, adx.data(), static_cast<int>(adx.size()));
        });
        const bytes out = wav.contents();
        const std::uint32_t cap = (0xFFFFFFFFu - 36) / (2 * static_cast<std::uint32_t>(channels));
        EXPECT_EQ(le32(out, 40), 2 * static_cast<std::uint32_t>(channels) * cap);
        EXPECT_EQ(le32(out, 4), le32(out, 40) + 36);
        EXPECT_GE(le32(out, 4), le32(out, 40)) << "RIFF size must not wrap";
        EXPECT_EQ(out.size(), 44 + (adx.size() - header_length(adx)) / 36 * 128) << "every whole unit written";
    }
}

TEST(Writer, ShortStreamGetsItsHeaderRewritten)
{
    const bytes& adx = adx_tone(2, 44100, 0.3);
    // Cut the stream mid-unit: the held-back bytes are completed with zeros at the end.
    const bytes cut(adx.begin(), adx.begin() + static_cast<long>(header_length(adx) + 36 * 10 + 20));
    const bytes wav = write_whole(cut);
    ASSERT_EQ(wav.size(), 44u + 11 * 128);
    EXPECT_EQ(le32(wav, 40), 11u * 128);
    EXPECT_EQ(le32(wav, 4), 11u * 128 + 36);

    // The completed unit equals the cut stream padded with zero bytes.
    bytes padded = cut;
    padded.resize(header_length(adx) + 36 * 11, 0);
    EXPECT_EQ(write_whole(padded), wav);
}

TEST(Writer, HeaderCheckFailures)
{
    const bytes& good = adx_tone(1, 22050, 0.1);
    auto with = [&](std::size_t at, std::uint8_t v) {
        bytes b = good;
        b[at] = v;
        return b;
    };
    const std::pair<const char*, bytes> cases[] = {
        {"shorter than 16 bytes", bytes(good.begin(), good.begin() + 15)},
        {"shorter than the header", bytes(good.begin(), good.begin() + 35)},
        {"first byte not 0x80", with(0, 0x00)},
        {"offset 0", [&] { bytes b = with(2, 0); b[3] = 0; return b; }()},
        {"offset 1", [&] { bytes b = with(2, 0); b[3] = 1; return b; }()},
        {"offset 0xFFFF", [&] { bytes b = with(2, 0xFF); b[3] = 0xFF; return b; }()},
        {"copyright text differs", with(31, 'C')},
        {"no channels", with(7, 0)},
        {"three channels", with(7, 3)},
        {"255 channels", with(7, 255)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const bytes& stream = c.second;
        wav_file wav;
        int first = 0;
        int second = 0;
        const std::string out = capture_stdout([&] {
            adx_write_init();
            first = adx_write(wav.f, stream.data(), static_cast<int>(stream.size()));
            // The check stays armed: a good header in the next chunk is taken.
            second = adx_write(wav.f, good.data(), static_cast<int>(good.size()));
            adx_write(wav.f, nullptr, 0);
        });
        EXPECT_EQ(first, -1);
        EXPECT_EQ(second, 0);
        EXPECT_EQ(out, "not adx!");
        EXPECT_EQ(wav.contents(), write_whole(good));
    }
}

TEST(Writer, EndOfStreamCases)
{
    const bytes& adx = adx_tone(1, 22050, 0.1);
    std::string printed;

    // Never a header: the end call fails the check too, and nothing is written.
    EXPECT_EQ(write_chunks(adx, {}, &printed), bytes{});
    EXPECT_EQ(printed, "not adx!");

    // Nothing held back: the end call adds nothing.
    const std::size_t whole_units = header_length(adx) + 36 * 5;
    const bytes exact(adx.begin(), adx.begin() + static_cast<long>(whole_units));
    const bytes wav = write_whole(exact, &printed);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(wav.size(), 44u + 5 * 128);

    // A held-back byte becomes a whole unit, at most the remaining sample count.
    bytes one_more(adx.begin(), adx.begin() + static_cast<long>(whole_units + 1));
    one_more[12] = one_more[13] = 0;
    one_more[14] = 0x01;
    one_more[15] = 0x68;  // 360 samples: 5 units of 64 plus 40
    const bytes limited = write_whole(one_more);
    EXPECT_EQ(limited.size(), 44u + 2 * 360);
    EXPECT_EQ(le32(limited, 40), 720u) << "complete stream: header untouched";
}

// Decodes the writer's WAV output and checks that every channel is the tone.
// The encoder pads the stream to whole frames and ends it with a terminator
// frame; only the samples of the tone itself are compared.
void expect_tone(const bytes& wav, int channels, double rate, double frequency, double seconds)
{
    ASSERT_GT(wav.size(), 44u + 4000);
    const std::size_t frames = std::min((wav.size() - 44) / (2 * static_cast<std::size_t>(channels)),
                                        static_cast<std::size_t>(rate * seconds) - 32);
    for (int ch = 0; ch < channels; ++ch) {
        std::vector<double> x;
        double peak = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            const std::size_t at = 44 + 2 * (i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(ch));
            const auto v = static_cast<std::int16_t>(wav[at] | wav[at + 1] << 8);
            x.push_back(v);
            peak = std::max(peak, std::abs(static_cast<double>(v)));
        }
        EXPECT_GT(peak, 300) << "channel " << ch << " is silent";
        EXPECT_GT(tone_fraction(x, rate, frequency), 0.95) << "channel " << ch;
        EXPECT_LT(tone_fraction(x, rate, frequency * 1.5), 0.05) << "channel " << ch;
    }
}

TEST(Writer, DecodesAnIndependentlyEncodedTone)
{
    const bytes stereo = write_whole(adx_tone(2, 44100, 1.0));
    expect_tone(stereo, 2, 44100, 1000, 1.0);
    const bytes mono = write_whole(adx_tone(1, 22050, 1.0));
    expect_tone(mono, 1, 22050, 1000, 1.0);
    EXPECT_EQ(le32(mono, 24), 22050u);
}

} // namespace
