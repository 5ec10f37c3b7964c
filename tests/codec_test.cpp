// Sector field codec, output naming and the stream header reports.
#include "test_util.h"
#include "vornalt.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Timestamp, RoundTripsEdgeValuesWithMarkersAndPrefix)
{
    const std::uint32_t values[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x5A5A5A5A, 0xA5A5A5A5, 0x12345678};
    for (const std::uint32_t ts : values) {
        for (const int prefix : {0x20, 0x30, 0x10}) {
            std::uint8_t p[5] = {};
            write_timestamp(p, ts, prefix);
            SCOPED_TRACE(testing::Message() << std::hex << ts << " prefix " << prefix);
            EXPECT_EQ(read_timestamp(p), ts);
            EXPECT_EQ(p[0] & 0xF0, prefix);
            EXPECT_EQ(p[0] & 0x08, 0) << "the 33rd bit is written as 0";
            EXPECT_EQ(p[0] & 1, 1);
            EXPECT_EQ(p[2] & 1, 1);
            EXPECT_EQ(p[4] & 1, 1);
        }
    }
}

TEST(Timestamp, KnownEncodingsAndThe33rdBitIgnored)
{
    struct {
        std::uint32_t ts;
        std::uint8_t expect[5];
    } cases[] = {
        {0, {0x21, 0x00, 0x01, 0x00, 0x01}},
        {0xFFFFFFFF, {0x27, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x80000000, {0x25, 0x00, 0x01, 0x00, 0x01}},
        {90000, {0x21, 0x00, 0x05, 0xBF, 0x21}},
    };
    for (const auto& c : cases) {
        std::uint8_t p[5];
        write_timestamp(p, c.ts, 0x20);
        EXPECT_EQ(0, std::memcmp(p, c.expect, 5)) << std::hex << c.ts;
        p[0] |= 0x08;  // a stamp of 2^32 or more reads as its low 32 bits
        EXPECT_EQ(read_timestamp(p), c.ts);
    }
}

TEST(Fields, BigEndianWordsAndLongs)
{
    const std::uint8_t p[4] = {0x00, 0x00, 0x01, 0xBA};
    EXPECT_EQ(read_long(p), 0x1BAu);
    const std::uint8_t q[4] = {0xFF, 0xEE, 0xDD, 0xCC};
    EXPECT_EQ(read_long(q), 0xFFEEDDCCu);
    EXPECT_EQ(read_word(q), 0xFFEE);
    std::uint8_t w[2];
    write_word(w, 2030);
    EXPECT_EQ(w[0], 0x07);
    EXPECT_EQ(w[1], 0xEE);
    write_word(w, 0x12345);  // only the low 16 bits
    EXPECT_EQ(read_word(w), 0x2345);
}

TEST(SkipBlockHeader, EveryFormAndEveryBound)
{
    struct test_case {
        const char* name;
        bytes header;
        int avail;
        int length;
        stamp_form form;
        const char* printed;
    };
    const bytes pts = {0x21, 0x00, 0x01, 0x00, 0x01};
    const bytes pair = {0x31, 0x00, 0x01, 0x00, 0x01, 0x11, 0x00, 0x01, 0x00, 0x01};
    auto cat = [](bytes a, const bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const test_case cases[] = {
        {"no stamps", {0x0F}, 2030, 1, stamp_form::none, ""},
        {"stuffing, buffer, pts", cat({0xFF, 0xFF, 0x40, 0x00}, pts), 2030, 9, stamp_form::pts, ""},
        {"five stuffing, buffer, pts", cat({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x60, 0x2E}, pts), 2030, 12,
         stamp_form::pts, ""},
        {"pair", pair, 2030, 10, stamp_form::pts_dts, ""},
        {"buffer and pair", cat({0x7F, 0xFF}, pair), 2030, 12, stamp_form::pts_dts, ""},
        {"unknown zero", {0x00}, 2030, 0, stamp_form::none, "unknown 0\n"},
        {"unknown 0x0E", {0x0E}, 2030, 0, stamp_form::none, "unknown e\n"},
        {"unknown nibble 1", {0x1A}, 2030, 0, stamp_form::none, "unknown 1a\n"},
        {"unknown after buffer", {0xFF, 0x40, 0x00, 0x50}, 2030, 3, stamp_form::none, "unknown 50\n"},
        {"unknown nibble F", {0xF0}, 2030, 0, stamp_form::none, "unknown f0\n"},
        {"empty packet", {}, 0, 0, stamp_form::none, ""},
        {"stuffing to the end", bytes(2030, 0xFF), 2030, 2030, stamp_form::none, ""},
        {"buffer field cut off", {0xFF, 0x40}, 2, 2, stamp_form::none, ""},
        {"buffer field ends the packet", {0x40, 0x00}, 2, 2, stamp_form::none, ""},
        {"pts cut off", {0x21, 0x00, 0x01}, 3, 3, stamp_form::none, ""},
        {"pair cut off", cat({0xFF}, pair), 8, 8, stamp_form::none, ""},
        {"pts exactly fills", pts, 5, 5, stamp_form::pts, ""},
        {"0x0F is last byte", {0xFF, 0x0F}, 2, 2, stamp_form::none, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Exactly avail bytes on the heap, so a look past them is caught by the address checker.
        bytes buf = c.header;
        buf.resize(static_cast<std::size_t>(c.avail), 0);
        block_header got{};
        const std::string out = capture_stdout([&] { got = skip_block_header(buf.data(), c.avail); });
        EXPECT_EQ(got.length, c.length);
        EXPECT_EQ(got.form, c.form);
        EXPECT_EQ(out, c.printed);
    }
}

TEST(OutputName, BackslashIsTheOnlySeparatorAndTheLastDotWins)
{
    const std::pair<std::string, std::string> cases[] = {
        {"movie", "movie.mpg"},
        {"a.b.sfd", "a.b.mpg"},
        {"dir\\a.sfd", "a.mpg"},
        {"d:\\movies\\intro.sfd", "intro.mpg"},
        {"dir/a.sfd", "dir/a.mpg"},
        {"my.dir/movie", "my.mpg"},
        {"my.dir\\movie", "movie.mpg"},
        {"a.", "a.mpg"},
        {".sfd", ".mpg"},
        {"x.mpg", "x.mpg"},
        {"dir\\", ".mpg"},
        {std::string(1000, 'n') + ".sfd", std::string(1000, 'n') + ".mpg"},
    };
    for (const auto& [input, expect] : cases) EXPECT_EQ(make_output_name(input.c_str()), expect) << input;
}

struct verbose_guard {
    explicit verbose_guard(int v) { verbose = v; }
    ~verbose_guard() { verbose = 0; }
};

TEST(AudioInfo, ReportsOfKnownHeaders)
{
    struct test_case {
        std::uint8_t header[4];
        int result;
        const char* report;
    };
    const test_case cases[] = {
        {{0xFF, 0xFD, 0x80, 0x04}, 128000,
         "version: 1\nlayer: II\nprotection: 1\nbit_rate: 128\nfrequency: 44100\npadding: 0\nmode: stereo\n"
         "mode_extension: 0\ncopyright: no copyright\noriginal: original\nemphasis: none\nframesize: 418\n"},
        {{0xFF, 0xF5, 0x80, 0xC4}, 64000,
         "version: 2\nlayer: II\nprotection: 1\nbit_rate: 64\nfrequency: 22050\npadding: 0\nmode: mono\n"
         "mode_extension: 0\ncopyright: no copyright\noriginal: original\nemphasis: none\nframesize: 418\n"},
        // layer I, 448 kbit/s, 32 kHz, padding, joint stereo, every flag and emphasis CCITT
        {{0xFF, 0xFF, 0xEA, 0x7F}, 448000,
         "version: 1\nlayer: I\nprotection: 1\nbit_rate: 448\nfrequency: 32000\npadding: 1\nmode: joint stereo\n"
         "mode_extension: 3\ncopyright: copyright protected\noriginal: original\nemphasis: CCITT J.17\n"
         "framesize: 168\n"},
        // reserved layer bits: rate 0 and an empty layer name
        {{0xFF, 0xF9, 0x80, 0x84}, 0,
         "version: 1\nlayer: \nprotection: 1\nbit_rate: 0\nfrequency: 44100\npadding: 0\nmode: dual channel\n"
         "mode_extension: 0\ncopyright: no copyright\noriginal: original\nemphasis: none\nframesize: 0\n"},
        // sampling-frequency index 3: frequency 0, frame size shown as 0
        {{0xFF, 0xFB, 0x9C, 0x01}, 128000,
         "version: 1\nlayer: III\nprotection: 1\nbit_rate: 128\nfrequency: 0\npadding: 0\nmode: stereo\n"
         "mode_extension: 0\ncopyright: no copyright\noriginal: copy\nemphasis: 50/15 microseconds\n"
         "framesize: 0\n"},
        {{'I', 'D', '3', 0x03}, -1, ""},        // a tag in front of the first frame
        {{0xFF, 0xE0, 0x00, 0x00}, -1, ""},     // sync cut short
        {{0x00, 0x00, 0x00, 0x00}, -1, ""},
    };
    for (const auto& c : cases) {
        int result = 0;
        {
            verbose_guard v(1);
            EXPECT_EQ(capture_stdout([&] { result = audio_info(c.header); }), c.report);
        }
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(capture_stdout([&] { result = audio_info(c.header); }), "") << "verbose off";
        EXPECT_EQ(result, c.result);
    }
}

TEST(AudioInfo, BitRateOfEveryVersionAndLayerRow)
{
    // kbit/s at bit-rate indexes 0, 1, 9, 14 and 15 for each version and layer.
    struct row {
        int id;
        int layer;
        int rates[5];
    };
    const row rows[] = {
        {1, 3, {0, 32, 288, 448, 0}}, {1, 2, {0, 32, 160, 384, 0}}, {1, 1, {0, 32, 128, 320, 0}},
        {0, 3, {0, 32, 144, 256, 0}}, {0, 2, {0, 8, 80, 160, 0}},   {0, 1, {0, 8, 80, 160, 0}},
    };
    const int indexes[5] = {0, 1, 9, 14, 15};
    for (const row& r : rows) {
        for (int i = 0; i < 5; ++i) {
            const std::uint8_t header[4] = {0xFF, static_cast<std::uint8_t>(0xF0 | r.id << 3 | r.layer << 1 | 1),
                                            static_cast<std::uint8_t>(indexes[i] << 4), 0};
            EXPECT_EQ(audio_info(header), r.rates[i] * 1000)
                << "id " << r.id << " layer " << r.layer << " index " << indexes[i];
        }
    }
}

TEST(VideoInfo, SixRawFieldsInVerboseModeOnly)
{
    const std::uint8_t fields[8] = {0x16, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0xA0};
    EXPECT_EQ(capture_stdout([&] { video_info(fields); }), "");
    verbose_guard v(1);
    EXPECT_EQ(capture_stdout([&] { video_info(fields); }),
              "width: 352\nheight: 240\naspect: 1\npict rate: 3\nbit rate: 262143\nbuffer size:20\n");
}

} // namespace
