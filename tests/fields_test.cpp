// Sector fields, stamps and packet headers; the audio frame header report and
// the tags in front of encoded audio; output names.
#include "mpeg.h"
#include "util.h"
#include "vornalt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

namespace {

TEST(Fields, StampsMatchTheFixtureBuildersEncoding)
{
    std::mt19937 rng(3);
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t ts = i == 0 ? 0 : i == 1 ? 0xFFFFFFFF : static_cast<std::uint32_t>(rng());
        const bytes built = sfd::packet_header({0, false, sfd::stamps::pts}, ts);
        std::uint8_t mine[5];
        write_timestamp(mine, ts, pts_only_prefix);
        ASSERT_EQ(bytes(mine, mine + 5), built) << ts;
        ASSERT_EQ(read_timestamp(built.data()), ts);
    }
    const std::uint8_t bit33[5] = {0x29, 0, 1, 0, 3};  // bit 33 set, the rest 1: read as 1
    EXPECT_EQ(read_timestamp(bit33), 1u);
}

TEST(Fields, PacketHeaderForms)
{
    struct row { bytes header; int avail; int length; stamp_form form; const char* printed; };
    const row rows[] = {
        {{0x0F}, 1, 1, stamp_form::none, ""},
        {{0xFF, 0xFF, 0x40, 0x00, 0x21, 0, 1, 0, 1}, 9, 9, stamp_form::pts, ""},
        {{0x31, 0, 1, 0, 1, 0x11, 0, 1, 0, 1}, 10, 10, stamp_form::pts_dts, ""},
        {{0xFF, 0x00}, 2, 1, stamp_form::none, "unknown 0\n"},
        {{0x40, 0x00, 0x1E}, 3, 2, stamp_form::none, "unknown 1e\n"},
        {{0xFF, 0xFF, 0xFF}, 3, 3, stamp_form::none, ""},        // stuffing to the end
        {{0xFF, 0x21, 0, 1}, 4, 4, stamp_form::none, ""},        // a stamp cut by the end
    };
    for (const row& r : rows) {
        block_header h{};
        EXPECT_EQ(printed_by([&] { h = skip_block_header(r.header.data(), r.avail); }), r.printed);
        EXPECT_EQ(h.length, r.length) << r.header.size();
        EXPECT_EQ(h.form, r.form) << r.header.size();
    }
}

TEST(Fields, AudioInfoBitRatesAndFrequencies)
{
    // From the standards: MPEG-1 layers I-III, then the lower sampling frequencies, indexes 1..14.
    const char* kbits[6] = {"32 64 96 128 160 192 224 256 288 320 352 384 416 448",
                            "32 48 56 64 80 96 112 128 160 192 224 256 320 384",
                            "32 40 48 56 64 80 96 112 128 160 192 224 256 320",
                            "32 48 56 64 80 96 112 128 144 160 176 192 224 256",
                            "8 16 24 32 40 48 56 64 80 96 112 128 144 160",
                            "8 16 24 32 40 48 56 64 80 96 112 128 144 160"};
    const int hz[8] = {44100, 48000, 32000, 0, 22050, 24000, 16000, 0};
    for (int row = 0; row < 6; ++row) {
        std::istringstream list(kbits[row]);
        const int id = row < 3 ? 1 : 0;
        const int layer = 3 - row % 3;
        for (int index = 0; index < 16; ++index) {
            int expect = 0;
            if (index > 0 && index < 15) list >> expect;
            const std::uint8_t h[4] = {0xFF, static_cast<std::uint8_t>(0xF1 | id << 3 | layer << 1),
                                       static_cast<std::uint8_t>(index << 4 | (index % 4) << 2), 0};
            verbose = 1;
            const std::string report = printed_by([&] { EXPECT_EQ(audio_info(h), expect * 1000) << row << "/" << index; });
            verbose = 0;
            EXPECT_NE(report.find("\nfrequency: " + std::to_string(hz[(1 - id) * 4 + index % 4]) + "\n"), std::string::npos);
        }
    }
    const std::uint8_t reserved_layer[4] = {0xFF, 0xF9, 0x80, 0}, no_sync[4] = {0xFF, 0xEF, 0x80, 0};
    EXPECT_EQ(audio_info(reserved_layer), 0);
    EXPECT_EQ(audio_info(no_sync), -1);
}

TEST(Fields, AudioInfoReport)
{
    const std::uint8_t mpeg1[4] = {0xFF, 0xFD, 0x80, 0x04}, lsf[4] = {0xFF, 0xF5, 0x80, 0xC4};
    const std::uint8_t layer1[4] = {0xFF, 0xFE, 0x1A, 0x7B}, bad_freq[4] = {0xFF, 0xFD, 0x8C, 0};
    EXPECT_EQ(printed_by([&] { audio_info(mpeg1); }), "");
    verbose = 1;
    EXPECT_EQ(printed_by([&] { audio_info(mpeg1); }),
              "version: 1\nlayer: II\nprotection: 1\nbit_rate: 128\nfrequency: 44100\npadding: 0\nmode: stereo\n"
              "mode_extension: 0\ncopyright: no copyright\noriginal: original\nemphasis: none\nframesize: 418\n");
    EXPECT_EQ(printed_by([&] { audio_info(lsf); }),
              "version: 2\nlayer: II\nprotection: 1\nbit_rate: 64\nfrequency: 22050\npadding: 0\nmode: mono\n"
              "mode_extension: 0\ncopyright: no copyright\noriginal: original\nemphasis: none\nframesize: 418\n");
    EXPECT_EQ(printed_by([&] { audio_info(layer1); }),
              "version: 1\nlayer: I\nprotection: 0\nbit_rate: 32\nfrequency: 32000\npadding: 1\nmode: joint stereo\n"
              "mode_extension: 3\ncopyright: copyright protected\noriginal: copy\nemphasis: CCITT J.17\nframesize: 12\n");
    EXPECT_NE(printed_by([&] { audio_info(bad_freq); }).find("frequency: 0\npadding: 0\nmode: stereo\n"), std::string::npos);
    EXPECT_TRUE(printed_by([&] { audio_info(bad_freq); }).ends_with("framesize: 0\n"));
    verbose = 0;
}

TEST(Fields, TagsInFrontOfTheAudio)
{
    struct row { std::uint8_t header[4]; const char* tag; int at; int info; bool vbr; };
    const row rows[] = {
        {{0xFF, 0xFB, 0x50, 0x00}, "Info", 36, 208, false},  // MPEG-1 64 kbit/s 44.1 kHz stereo
        {{0xFF, 0xFB, 0x52, 0x00}, "Info", 36, 209, false},  // padded
        {{0xFF, 0xFA, 0x50, 0x00}, "Info", 38, 208, false},  // a check word moves the tag
        {{0xFF, 0xFA, 0x50, 0x00}, "Info", 36, 0, false},
        {{0xFF, 0xFB, 0x50, 0xC0}, "Info", 21, 208, false},  // mono
        {{0xFF, 0xF3, 0x84, 0x00}, "Info", 21, 192, false},  // 24 kHz, 64 kbit/s
        {{0xFF, 0xF3, 0x80, 0xC0}, "Info", 13, 208, false},  // 22.05 kHz mono
        {{0xFF, 0xFB, 0x00, 0x00}, "Info", 36, 0, false},    // free format: left in place
        {{0xFF, 0xFD, 0x80, 0x04}, "Info", 36, 0, false},    // layer II has no tag frame
        {{0xFF, 0xFB, 0x50, 0x00}, "Xing", 36, 0, true},
        {{0xFF, 0xFB, 0x50, 0xC0}, "Xing", 21, 0, true},
        {{0xFF, 0xFB, 0x50, 0xC0}, "VBRI", 36, 0, true},
        {{0xFF, 0xFA, 0x50, 0x00}, "Xing", 36, 0, false},
    };
    for (const row& r : rows) {
        bytes frame(tag_probe_bytes, 0);
        std::memcpy(frame.data(), r.header, 4);
        std::memcpy(frame.data() + r.at, r.tag, 4);
        EXPECT_EQ(info_frame_length(frame.data(), tag_probe_bytes), r.info) << r.tag << " at " << r.at;
        EXPECT_EQ(is_vbr_tag_frame(frame.data(), tag_probe_bytes), r.vbr) << r.tag << " at " << r.at;
        EXPECT_EQ(info_frame_length(frame.data(), tag_probe_bytes - 1), 0) << "past the bytes at hand";
    }
    const std::uint8_t id3[10] = {'I', 'D', '3', 4, 0, 0, 0, 0, 1, 0x7F}, footer[10] = {'I', 'D', '3', 4, 0, 0x10, 1, 0, 0, 0};
    const std::uint8_t bad_size[10] = {'I', 'D', '3', 4, 0, 0, 0, 0x80, 0, 0};
    EXPECT_EQ(id3_tag_length(id3, 10), 10 + 255);
    EXPECT_EQ(id3_tag_length(footer, 10), 20 + (1 << 21));
    EXPECT_EQ(id3_tag_length(bad_size, 10), 0);
    EXPECT_EQ(id3_tag_length(id3, 9), 0);
}

TEST(Fields, OutputNames)
{
    const std::pair<const char*, const char*> names[] = {
        {"movie", "movie.mpg"}, {"a.b.sfd", "a.b.mpg"}, {"dir\\a.sfd", "a.mpg"}, {"dir/a.sfd", "dir/a.mpg"},
        {"my.dir/movie", "my.dir/movie.mpg"}, {"./intro", "./intro.mpg"}, {".sfd", ".mpg"},
        {"../m.v/x.y/intro", "../m.v/x.y/intro.mpg"}, {"d:\\m.v\\x.y/intro", "x.y/intro.mpg"},
    };
    for (const auto& [in, out] : names) EXPECT_EQ(make_output_name(in), out) << in;
}

}  // namespace
