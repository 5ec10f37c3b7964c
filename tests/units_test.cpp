// The ADX decoder's values worked from the formula, the WAV writer over any
// chunking, the frame-header tables and tags, the built-in encoder's reasons.
#include "adxconv.h"
#include "encoders.h"
#include "util.h"

#include <sstream>

namespace {

// The first two samples of a mono unit whose first frame has the scale and
// starts with the byte (two nibbles), from an empty history.
std::pair<int, int> first_samples(adx_level level, int scale, std::uint8_t byte, adx_weights w = fixed_weights)
{
    std::uint8_t unit[adx_unit_bytes] = {static_cast<std::uint8_t>(scale >> 8), static_cast<std::uint8_t>(scale), byte};
    std::uint8_t out[2 * adx_unit_values];
    std::int32_t prev[4] = {};
    unit_decoder_for(1, level)(out, unit, prev, w);
    return {static_cast<std::int16_t>(out[0] | out[1] << 8), static_cast<std::int16_t>(out[2] | out[3] << 8)};
}

TEST(Adx, DecodesAsTheFormulaGives)
{
    using level = adx_level;
    // (7 * 4576) >> 14 = 1, then (7 * 4576 + 1 * 29336) >> 14 = 3; (-8 * 4576) >> 14 rounds down to -3.
    EXPECT_EQ(first_samples(level::standard, 1, 0x77), std::pair(1, 3));
    EXPECT_EQ(first_samples(level::standard, 1, 0x80), std::pair(-3, -6));
    // 7 * 65535 * 4576 >> 14 clamps to 32767; with it in the history the sum wraps past 2^31 to -32768.
    EXPECT_EQ(first_samples(level::standard, 0xFFFF, 0x77), std::pair(32767, -32768));
    // Full level: d * scale + (s1 * w1 - s2 * w2) >> 14; -3 * 10923 and 4 * 8192 lie one past each end.
    EXPECT_EQ(first_samples(level::full, 1000, 0x77), std::pair(7000, 7000 + 7000 * 29336 / 16384));
    EXPECT_EQ(first_samples(level::full, 10923, 0xD0).first, -32768);
    EXPECT_EQ(first_samples(level::full, 8192, 0x40).first, 32767);
    // Weights from the header's rate and cutoff, or the fixed ones where either is 0.
    for (const auto& [rate, cutoff, w1] :
         {std::tuple{44100u, 500, 29336}, {22050u, 500, 26276}, {0u, 500, 29336}, {44100u, 0, 29336}})
        EXPECT_EQ(adx_weights_for(rate, cutoff).s1, w1) << rate << " " << cutoff;
    // The clamped value enters the history: 65535 + (-32768 * 26276) >> 14.
    EXPECT_EQ(first_samples(level::full, 0xFFFF, 0x81, {26276, 10536}), std::pair(-32768, 65535 - 52552));
}

// An ADX header of copyright offset o ("(c)CRI" ending where the frames
// start), two channels, 44100 Hz, and the fields from byte 12 on.
bytes adx_header(std::uint8_t o, std::initializer_list<std::uint8_t> fields)
{
    bytes h(o + 4u);
    const std::uint8_t start[12] = {0x80, 0, 0, o, 3, 18, 4, 2, 0, 0, 0xAC, 0x44};
    std::copy_n(start, 12, h.begin());
    std::copy(fields.begin(), fields.end(), h.begin() + 12);
    std::copy_n("(c)CRI", 6, h.begin() + o - 2);
    return h;
}

TEST(Adx, WriterGivesTheDeclaredSamplesWhateverTheChunks)
{
    const bytes stream = audio_payloads(read_bytes(fixture("s44.sfd")));
    const std::size_t start = read_word(&stream[2]) + 4u;  // where the frames start; 4 bytes a stereo sample
    const auto with = [&](std::size_t at, bytes b, std::size_t size) {
        bytes s(stream.begin(), stream.begin() + static_cast<long>(size));
        for (std::size_t i = 0; i < b.size(); ++i) s[at + i] = b[i];
        return s;
    };
    const bytes frames(stream.begin() + static_cast<long>(start), stream.end());
    bytes header16 = adx_header(10, {});  // "(c)CRI" over the rate; the count "RI\0\0"
    header16.resize(16);
    // A header that ends before byte 19, whose value of an encrypted stream's flag is then a frame's byte.
    bytes header19 = adx_header(15, {});
    header19.insert(header19.end(), stream.begin() + static_cast<long>(start), stream.end());
    header19[19] = 8;
    // Data bytes of each stream's WAV (-1: refused, no WAV at all).
    const std::tuple<bytes, long> rows[] = {
        {stream, read_long(&stream[12]) * 4l},
        {with(12, {0, 0, 0x03, 0xE8}, stream.size()), 4000},  // 1000 samples a channel: fewer than the frames hold
        {with(0, {}, stream.size() - 999), (stream.size() - 999 - start + 35) / 36 * 128},  // the last unit in part
        {with(0, {}, start + 36 * 50), 50 * 128},      // ends on a unit: no unit more
        {with(0, {}, start + 36 * 50 + 1), 51 * 128},  // one byte more: a unit more
        {with(12, {0x80, 0, 0, 0}, stream.size()),
         static_cast<long>((stream.size() - start + 35) / 36 * 128)},  // 2^31 a channel: all of it
        {with(start - 1, {'X'}, stream.size()), -1},                   // no "(c)CRI"
        {with(19, {9}, stream.size()), -1},                            // encrypted
        {with(4, {2}, stream.size()), -1},                             // another encoding type
        {header19, static_cast<long>((header19.size() - 19 + 35) / 36 * 128)},
        {header16, 128},          // the smallest header; one unit of zeros
        {adx_header(12, {}), 0},  // a header alone
        {bytes(header16.begin(), header16.end() - 1), -1},
    };
    for (const auto& [adx, data_bytes] : rows) {
        const bytes wav = write_wav(adx, adx.size(), 0);
        const auto le32 = [&](std::size_t at) {
            return wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 | long{wav[at + 3]} << 24;
        };
        ASSERT_EQ(wav.size(), data_bytes < 0 ? 0 : 44 + static_cast<std::size_t>(data_bytes));
        if (data_bytes < 0) continue;
        EXPECT_EQ(le32(40), data_bytes);
        EXPECT_EQ(le32(4), data_bytes + 36);
        for (const std::size_t chunk : {1, 35, 36, 37, 2018})
            EXPECT_EQ(write_wav(adx, start + chunk / 2, chunk), wav) << chunk;
    }
    // A header that ends where its cutoff would (O = 14) takes its last bytes, "RI", as the cutoff.
    bytes short_header = adx_header(14, {}), long_header = adx_header(28, {'(', 'c', ')', 'C', 'R', 'I'});
    short_header.insert(short_header.end(), frames.begin(), frames.end());
    long_header.insert(long_header.end(), frames.begin(), frames.end());
    EXPECT_EQ(write_wav(short_header, short_header.size(), 0), write_wav(long_header, long_header.size(), 0));
}

// The WAV header that the built-in encoder reads: fields of every width, and
// nothing but 16-bit PCM in one or two channels.
TEST(Adx, WavHeaderReadBack)
{
    bytes wav = write_wav(audio_payloads(read_bytes(fixture("m22.sfd"))), 1 << 20, 0);
    wav.resize(wav_header_bytes);
    sfd::put_be(&wav[24], 0x78563412, 4), sfd::put_be(&wav[28], 0xF0AC6824, 4), sfd::put_be(&wav[40], 0x10325476, 4);
    wav_format format{};
    ASSERT_TRUE(read_wav_header(wav.data(), format));
    EXPECT_EQ(format.channels, 1);
    EXPECT_EQ(format.sample_rate, 0x12345678u);
    EXPECT_EQ(format.data_bytes, 0x76543210u);
    for (const std::size_t at : {0, 8, 12, 16, 20, 22, 24, 28, 32, 34, 36}) {
        bytes changed = wav;
        changed[at] ^= 2;
        EXPECT_FALSE(read_wav_header(changed.data(), format)) << at;
    }
}

TEST(Fields, BitRatesAndFrequenciesOfEveryHeader)
{
    // From the standards: MPEG-1 layers I-III, then the lower sampling frequencies, indexes 1..14.
    const char* kbits[6] = {
        "32 64 96 128 160 192 224 256 288 320 352 384 416 448", "32 48 56 64 80 96 112 128 160 192 224 256 320 384",
        "32 40 48 56 64 80 96 112 128 160 192 224 256 320",     "32 48 56 64 80 96 112 128 144 160 176 192 224 256",
        "8 16 24 32 40 48 56 64 80 96 112 128 144 160",         "8 16 24 32 40 48 56 64 80 96 112 128 144 160"};
    const int hz[8] = {44100, 48000, 32000, 0, 22050, 24000, 16000, 0};
    for (int row = 0; row < 6; ++row) {
        std::istringstream list(kbits[row]);
        for (int index = 0, expect = 0; index < 16; ++index, expect = 0) {
            if (index > 0 && index < 15) list >> expect;
            const int id = row < 3, layer = 3 - row % 3, freq = index % 4;
            const std::uint8_t h[4] = {0xFF, static_cast<std::uint8_t>(0xF1 | id << 3 | layer << 1),
                                       static_cast<std::uint8_t>(index << 4 | freq << 2), 0};
            messages report{true, "", ""};
            EXPECT_EQ(audio_info(h, &report), expect * 1000) << row << "/" << index;
            EXPECT_NE(report.out.find("\nfrequency: " + std::to_string(hz[(1 - id) * 4 + freq]) + "\n"),
                      std::string::npos);
            EXPECT_EQ(freq == 3 || expect == 0, report.out.find("\nframesize: 0\n") != std::string::npos);
        }
    }
    // Every flag of a layer I header set the other way than in the usual ones, and of a layer II header
    // the rest of the values; no sync; a reserved layer.
    const std::uint8_t layer1[4] = {0xFF, 0xFE, 0x1A, 0x7B}, layer2[4] = {0xFF, 0xFD, 0x14, 0x15},
                       no_sync[4] = {0xFF, 0xEF, 0x80, 0}, reserved[4] = {0xFF, 0xF9, 0x80};
    messages report{true, "", ""};
    EXPECT_EQ(audio_info(layer1, &report) + audio_info(layer2, &report), 2 * 32000);
    EXPECT_EQ(audio_info(no_sync, &report) + audio_info(reserved, nullptr), -1);
    EXPECT_EQ(report.out,
              "version: 1\nlayer: I\nprotection: 0\nbit_rate: 32\nfrequency: 32000\npadding: 1\n"
              "mode: joint stereo\nmode_extension: 3\ncopyright: copyright protected\noriginal: copy\n"
              "emphasis: CCITT J.17\nframesize: 12\n"
              "version: 1\nlayer: II\nprotection: 1\nbit_rate: 32\nfrequency: 48000\npadding: 0\n"
              "mode: stereo\nmode_extension: 1\ncopyright: no copyright\noriginal: original\n"
              "emphasis: 50/15 microseconds\nframesize: 96\n");
}

TEST(Fields, TagsInFrontOfTheAudio)
{
    struct row {
        std::uint32_t header;
        const char* tag;
        int at, info;
        bool vbr;
    };
    const row rows[] = {
        {0xFFFB5000, "Info", 36, 208, false},  // MPEG-1 layer III, 64 kbit/s, 44.1 kHz
        {0xFFFB5200, "Info", 36, 209, false},  // padded
        {0xFFFA5000, "Info", 38, 208, false},  // a check word moves the tag
        {0xFFFA5000, "Info", 36, 0, false},    // so it is not where it would be without one
        {0xFFFB50C0, "Info", 21, 208, false},  // mono
        {0xFFF38400, "Info", 21, 192, false},  // 24 kHz
        {0xFFF380C0, "Info", 13, 208, false},  // 22.05 kHz mono
        {0xFFFB0200, "Info", 36, 0, false},    // free format (padded)
        {0xFFFB5C00, "Info", 36, 0, false},    // no sampling frequency
        {0xFFFD8004, "Info", 36, 0, false},    // layer II has no tag frame
        {0xFFFB5000, "Xing", 36, 0, true},     // variable bit rate
        {0xFFFB50C0, "Xing", 21, 0, true},     // mono
        {0xFFFB50C0, "VBRI", 36, 0, true},     // VBRI stands at 36 always
        {0xFFFA5000, "Xing", 36, 0, false},    // not where a check word puts it
    };
    for (const row& r : rows) {
        bytes frame(tag_probe_bytes, 0);
        sfd::put_be(frame.data(), r.header, 4);
        std::memcpy(&frame[static_cast<std::size_t>(r.at)], r.tag, 4);
        EXPECT_EQ(info_frame_length(frame.data(), tag_probe_bytes), r.info) << std::hex << r.header << r.tag;
        EXPECT_EQ(is_vbr_tag_frame(frame.data(), tag_probe_bytes), r.vbr) << std::hex << r.header << r.tag;
        EXPECT_FALSE(info_frame_length(frame.data(), 41) || is_vbr_tag_frame(frame.data(), 41));
    }
    const std::uint8_t id3[10] = {'I', 'D', '3', 4, 0, 0x0F, 0, 0, 1, 0x7F},  // flags other than the footer's
        footer[10] = {'I', 'D', '3', 4, 0, 0x10, 1, 0, 0, 0}, bad_size[10] = {'I', 'D', '3', 4, 0, 0, 0, 0x80, 0, 0};
    EXPECT_EQ(id3_tag_length(id3, 10), 10 + 255);
    EXPECT_EQ(id3_tag_length(footer, 10), 20 + (1 << 21));
    EXPECT_EQ(id3_tag_length(bad_size, 10) + id3_tag_length(id3, 9), 0);
}

// The built-in encoder takes the samples that tmp.wav declares, not what
// follows them, and says why a tmp.wav that can't be read is refused.
TEST(Encoders, BuiltinReadsTheDeclaredSamplesOnly)
{
    temp_dir dir;
    messages log{true, "", ""};
    const encode_files files{(dir / "").string(), false, log};
    const auto encode = [&](const bytes& wav) {
        std::ofstream(dir / "tmp.wav", std::ios::binary) << std::string(wav.begin(), wav.end());
        EXPECT_TRUE(encode_builtin(nullptr, files)) << log.err;
        return read_bytes(dir / "tmp.mp3");
    };
    const bytes adx = audio_payloads(read_bytes(fixture("s44.sfd")));
    bytes wav = write_wav(adx, adx.size(), 0);
    const bytes mp2 = encode(wav);
    wav.resize(wav.size() + 9000, 0x55);
    EXPECT_EQ(encode(wav), mp2);
    fs::remove(dir / "tmp.wav");
    EXPECT_FALSE(encode_builtin(nullptr, files));
    EXPECT_EQ(log.out + log.err, "vornalt: " + files.wav() + ": No such file or directory\n");
}

}  // namespace
