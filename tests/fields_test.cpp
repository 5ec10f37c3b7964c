// The audio frame header report, the tags in front of encoded audio, output names.
#include "mpeg.h"
#include "util.h"
#include "vornalt.h"

#include <sstream>

namespace {

TEST(Fields, BitRatesAndFrequenciesOfEveryHeader)
{
    // From the standards: MPEG-1 layers I-III, then the lower sampling frequencies, indexes 1..14.
    const char* kbits[6] = {"32 64 96 128 160 192 224 256 288 320 352 384 416 448", "32 48 56 64 80 96 112 128 160 192 224 256 320 384",
                            "32 40 48 56 64 80 96 112 128 160 192 224 256 320", "32 48 56 64 80 96 112 128 144 160 176 192 224 256",
                            "8 16 24 32 40 48 56 64 80 96 112 128 144 160", "8 16 24 32 40 48 56 64 80 96 112 128 144 160"};
    const int hz[8] = {44100, 48000, 32000, 0, 22050, 24000, 16000, 0};
    messages held{true, "", ""};
    for (int row = 0; row < 6; ++row) {
        std::istringstream list(kbits[row]);
        for (int index = 0, expect = 0; index < 16; ++index, expect = 0) {
            if (index > 0 && index < 15) list >> expect;
            const int id = row < 3, layer = 3 - row % 3, freq = index % 4;
            const std::uint8_t h[4] = {0xFF, static_cast<std::uint8_t>(0xF1 | id << 3 | layer << 1), static_cast<std::uint8_t>(index << 4 | freq << 2), 0};
            held.out.clear();
            EXPECT_EQ(audio_info(h, &held), expect * 1000) << row << "/" << index;
            const std::string report = held.out;
            EXPECT_NE(report.find("\nfrequency: " + std::to_string(hz[(1 - id) * 4 + freq]) + "\n"), std::string::npos) << report;
        }
    }
    const std::uint8_t reserved_layer[4] = {0xFF, 0xF9, 0x80, 0}, no_sync[4] = {0xFF, 0xEF, 0x80, 0};
    EXPECT_EQ(audio_info(reserved_layer, nullptr) * 10 + audio_info(no_sync, nullptr), -1);
    // Every field of two headers, the frame size rounded up; nothing when not verbose.
    const std::uint8_t layer2[4] = {0xFF, 0xF5, 0x80, 0xC4}, layer1[4] = {0xFF, 0xFE, 0x1A, 0x7B};
    held.out.clear();
    audio_info(layer2, &held), audio_info(layer1, &held);
    EXPECT_EQ(held.out,
              "version: 2\nlayer: II\nprotection: 1\nbit_rate: 64\nfrequency: 22050\npadding: 0\nmode: mono\nmode_extension: 0\n"
              "copyright: no copyright\noriginal: original\nemphasis: none\nframesize: 418\n"
              "version: 1\nlayer: I\nprotection: 0\nbit_rate: 32\nfrequency: 32000\npadding: 1\nmode: joint stereo\nmode_extension: 3\n"
              "copyright: copyright protected\noriginal: copy\nemphasis: CCITT J.17\nframesize: 12\n");
    EXPECT_EQ(printed_by([&] { audio_info(layer2, nullptr); }), "");
}

TEST(Fields, TagsInFrontOfTheAudio)
{
    struct row { std::uint32_t header; const char* tag; int at, info; bool vbr; };
    const row rows[] = {
        {0xFFFB5000, "Info", 36, 208, false}, {0xFFFB5200, "Info", 36, 209, false},  // MPEG-1 64 kbit/s 44.1 kHz, padded
        {0xFFFA5000, "Info", 38, 208, false}, {0xFFFA5000, "Info", 36, 0, false},    // a check word moves the tag
        {0xFFFB50C0, "Info", 21, 208, false}, {0xFFF38400, "Info", 21, 192, false},  // mono; 24 kHz
        {0xFFF380C0, "Info", 13, 208, false}, {0xFFFB0000, "Info", 36, 0, false},    // 22.05 kHz mono; free format
        {0xFFFD8004, "Info", 36, 0, false},   {0xFFFB5000, "Xing", 36, 0, true},     // layer II has no tag frame
        {0xFFFB50C0, "Xing", 21, 0, true},    {0xFFFB50C0, "VBRI", 36, 0, true}, {0xFFFA5000, "Xing", 36, 0, false},
    };
    for (const row& r : rows) {
        bytes frame(tag_probe_bytes, 0);
        sfd::put_be(frame.data(), r.header, 4);
        std::memcpy(&frame[static_cast<std::size_t>(r.at)], r.tag, 4);
        EXPECT_EQ(info_frame_length(frame.data(), tag_probe_bytes), r.info) << std::hex << r.header << " " << r.tag;
        EXPECT_EQ(is_vbr_tag_frame(frame.data(), tag_probe_bytes), r.vbr) << std::hex << r.header << " " << r.tag;
        EXPECT_FALSE(info_frame_length(frame.data(), tag_probe_bytes - 1) || is_vbr_tag_frame(frame.data(), tag_probe_bytes - 1));
    }
    const std::uint8_t id3[10] = {'I', 'D', '3', 4, 0, 0, 0, 0, 1, 0x7F}, footer[10] = {'I', 'D', '3', 4, 0, 0x10, 1, 0, 0, 0},
                       bad_size[10] = {'I', 'D', '3', 4, 0, 0, 0, 0x80, 0, 0};
    EXPECT_EQ(id3_tag_length(id3, 10), 10 + 255);
    EXPECT_EQ(id3_tag_length(footer, 10), 20 + (1 << 21));
    EXPECT_EQ(id3_tag_length(bad_size, 10) + id3_tag_length(id3, 9), 0);
}

TEST(Fields, OutputNames)
{
    const std::pair<const char*, const char*> names[] = {
        {"movie", "movie.mpg"}, {"a.b.sfd", "a.b.mpg"}, {"dir\\a.sfd", "a.mpg"}, {"dir/a.sfd", "dir/a.mpg"}, {"my.dir/movie", "my.dir/movie.mpg"},
        {"./intro", "./intro.mpg"}, {".sfd", ".mpg"}, {"../m.v/x.y/intro", "../m.v/x.y/intro.mpg"}, {"d:\\m.v\\x.y/intro", "x.y/intro.mpg"}};
    for (const auto& [in, out] : names) EXPECT_EQ(make_output_name(in), out) << in;
}

}  // namespace
