// Both passes over tables of fixture movies, run in-process on temporary files.
#include "adxconv.h"
#include "mpeg.h"
#include "passes.h"
#include "util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sfd::header_form;
using sfd::sector;
using sfd::stamps;

bytes pattern(std::size_t n, int seed = 1)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + static_cast<std::size_t>(seed)) % 251 + 1);
    return b;
}

sector audio(const header_form& form, std::uint32_t pts, std::size_t payload = 2018, std::uint32_t dts = 0)
{
    return sfd::packet_sector(audio_code, sfd::packet_header(form, pts, dts), pattern(payload));
}

sector stream(std::uint32_t code, std::span<const std::uint8_t> payload = {})
{
    const std::uint8_t no_stamps[] = {0x0F};
    return sfd::packet_sector(code, no_stamps, payload);
}

// What the writer makes of a whole ADX stream: the reference for pass 1.
bytes direct_wav(std::span<const std::uint8_t> adx)
{
    std::FILE* wav = std::tmpfile();
    printed_by([&] {
        adx_write_init();
        adx_write(wav, adx.data(), static_cast<int>(adx.size()));
        adx_write(wav, nullptr, 0);
    });
    return contents(wav);
}

TEST(Pass1, FeedsEveryAudioPayloadToTheWriter)
{
    const bytes& adx = adx_tone(2, 44100, 0.3);
    struct row { const char* name; bytes movie; bytes stream; std::string printed; };
    std::vector<row> rows;
    for (const header_form form : {header_form{0, true, stamps::pts}, header_form{5, false, stamps::pts_dts},
                                   header_form{3, false, stamps::none}, header_form{16, true, stamps::pts_dts}}) {
        auto sectors = sfd::mux(mpeg1_video(0.3), adx, {form, false});
        // Junk behind a short audio packet must not reach the writer.
        for (auto& s : sectors)
            if (read_long(&s[12]) == audio_code) std::memset(&s[18 + read_word(&s[16])], 0x5A, 2030 - read_word(&s[16]));
        rows.push_back({"header form", sfd::flatten(sectors), adx, ""});
    }
    sector junk{};
    junk[3] = 0x42;
    const header_form form{};
    const std::span<const std::uint8_t> a(adx);
    const auto chunk = [&](std::size_t at, std::size_t n) { return sfd::packet_sector(audio_code, sfd::packet_header(form, 0), a.subspan(at, n)); };
    rows.push_back({"junk and unknown streams, no end code",
                    sfd::flatten(std::vector<sector>{chunk(0, 1000), junk, stream(0x1BD, pattern(9)), stream(0x1C1, pattern(9)),
                                                     stream(padding_code), stream(private2_code), stream(system_header_code),
                                                     chunk(1000, 2000)}),
                    bytes(a.begin(), a.begin() + 3000), "unexpexted code:42 sector 1\nunknown code:1bd\nunknown code:1c1\n"});
    const std::vector<sector> ended = {chunk(0, 2023), chunk(2023, 2000), sfd::end_sector(), chunk(4023, 2000)};
    rows.push_back({"stops at the end code", sfd::flatten(ended), bytes(a.begin(), a.begin() + 4023), ""});
    bytes cut = sfd::flatten(std::span(ended).first(2));
    cut.resize(2048 + 25 + 1000);  // the last sector cut after 1000 payload bytes: the rest reads as zeros
    bytes stream_of_cut(a.begin(), a.begin() + 3023);
    stream_of_cut.resize(4023, 0);
    rows.push_back({"a cut last sector", cut, stream_of_cut, ""});
    rows.push_back({"no audio", sfd::flatten(std::vector<sector>{stream(video_code, pattern(30))}), {}, "not adx!"});
    rows.push_back({"empty file", {}, {}, "not adx!"});
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::FILE* input = file_of(r.movie);
        std::FILE* wav = std::tmpfile();
        std::uint8_t sector_buffer[sector_size] = {};
        EXPECT_EQ(printed_by([&] { demux_audio(input, wav, sector_buffer); }), r.printed);
        EXPECT_EQ(contents(wav), r.stream.empty() ? bytes{} : direct_wav(r.stream));
        std::fclose(input);
    }
}

// One sector of pass 2's output: a copy of input sector `from`, or (stamp >=
// -1) that audio sector with `placed` bytes of the encoded audio; -1: no stamp.
struct out_sector {
    int from;
    std::int64_t stamp = -2;
    int placed = 0;
};

void check_pass2(const bytes& out, const std::vector<sector>& in, const bytes& mp3, const std::vector<out_sector>& expect)
{
    ASSERT_EQ(out.size(), expect.size() * sector_size);
    std::size_t used = 0;
    for (std::size_t k = 0; k < expect.size(); ++k) {
        SCOPED_TRACE("output sector " + std::to_string(k));
        const std::uint8_t* s = &out[k * sector_size];
        const sector& src = in[static_cast<std::size_t>(expect[k].from)];
        if (expect[k].stamp < -1) {
            EXPECT_EQ(0, std::memcmp(s, src.data(), sector_size));
            continue;
        }
        const block_header h = skip_block_header(&src[18], 2030);
        const int stamp_length = h.form == stamp_form::pts ? 5 : h.form == stamp_form::pts_dts ? 10 : 0;
        EXPECT_EQ(0, std::memcmp(s, src.data(), 16));
        EXPECT_EQ(0, std::memcmp(s + 18, &src[18], static_cast<std::size_t>(h.length - stamp_length)));
        const std::uint8_t* stamp = s + 18 + h.length - stamp_length;
        if (stamp_length > 0) {
            EXPECT_EQ(read_timestamp(stamp), static_cast<std::uint32_t>(expect[k].stamp));
            EXPECT_EQ(stamp[0] & 0xF1, stamp_length == 5 ? 0x21 : 0x31);
        }
        if (stamp_length == 10) {
            EXPECT_EQ(read_timestamp(stamp + 5), static_cast<std::uint32_t>(expect[k].stamp));
            EXPECT_EQ(stamp[5] & 0xF1, 0x11);
        }
        const int placed = expect[k].placed, end = 18 + h.length + placed, rest = 2048 - end;
        ASSERT_LE(used + static_cast<std::size_t>(placed), mp3.size());
        EXPECT_EQ(0, std::memcmp(s + 18 + h.length, &mp3[used], static_cast<std::size_t>(placed)));
        used += static_cast<std::size_t>(placed);
        bytes tail(s + end, s + 2048), expect_tail(static_cast<std::size_t>(rest), 0);
        if (rest >= 6) {
            expect_tail.assign(static_cast<std::size_t>(rest), 0xFF);
            expect_tail[0] = expect_tail[1] = 0, expect_tail[2] = 1, expect_tail[3] = 0xBE;
            expect_tail[4] = static_cast<std::uint8_t>((rest - 6) >> 8), expect_tail[5] = static_cast<std::uint8_t>(rest - 6);
        }
        EXPECT_EQ(read_word(s + 16), rest >= 6 ? h.length + placed : 2030);
        EXPECT_EQ(tail, expect_tail);
    }
}

TEST(Pass2, RewritesTheAudioAndKeepsTheRest)
{
    const header_form twelve{5, true, stamps::pts}, pair{0, false, stamps::pts_dts}, bare{0, true, stamps::none};
    const std::int64_t d = 2018 * 90000 / 16000;  // 11351 ticks for the 2018 bytes of a 12-byte header's packet
    const bytes seq = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0xA0};
    const std::string report = "width: 352\nheight: 240\naspect: 1\npict rate: 3\nbit rate: 262143\nbuffer size:20\n";
    sector junk{};
    junk[3] = 0x42;
    struct row {
        const char* name;
        std::vector<sector> in;
        std::size_t mp3_size;
        std::vector<out_sector> expect;
        std::string printed;
    };
    const row rows[] = {
        {"stamps from a clock at the first audio stamp; a short packet fills its sector",
         {stream(system_header_code), audio(twelve, 90000), stream(video_code, pattern(500)), audio(twelve, 90000, 100),
          audio(twelve, 0), audio(twelve, 500000), sfd::end_sector(), audio(twelve, 500000)},
         20000, {{0}, {1, 90000, 2018}, {2}, {3, 90000 + d, 2018}, {5, 90000 + 2 * d, 2018}, {6}},
         "rest:" + std::to_string(20000 - 3 * 2018) + " "},
        {"stamp-less packets before the first stamp", {audio(bare, 0, 2027), audio(twelve, 7000), audio(twelve, 9000)},
         10000, {{0, -1, 2027}, {1, 7000, 2018}, {2, 7000 + 2027 * 90000 / 16000, 2018}},
         "rest:" + std::to_string(10000 - 2027 - 2 * 2018) + " "},
        {"stamp pairs: the first stamp decides", {audio(pair, 5000, 2020, 0), audio(pair, 0, 2020, 900000), audio(pair, 20000, 2020)},
         9000, {{0, 5000, 2020}, {2, 5000 + 2020 * 90000 / 16000, 2020}}, "rest:" + std::to_string(9000 - 2 * 2020) + " "},
        {"audio runs out with room for padding", {audio(twelve, 0), audio(twelve, 0), audio(twelve, 0), stream(video_code, pattern(9))},
         2018 + 1000, {{0, 0, 2018}, {1, d, 1000}, {3}}, "rest:0 "},
        {"audio runs out with 3 bytes left", {audio(twelve, 0), audio(twelve, 0), audio(twelve, 0)}, 2018 + 2015,
         {{0, 0, 2018}, {1, d, 2015}}, "rest:0 "},
        {"sectors left out", {stream(padding_code), stream(private2_code), stream(0x1BD, pattern(9)), junk,
                              stream(video_code, seq), stream(video_code, std::span(seq).first(11))},
         0, {{4}, {5}}, "unknown code:1bd\nunexpexted code:42\n" + report + "rest:0 "},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const bytes mp3 = pattern(r.mp3_size, 5);
        std::FILE* input = file_of(sfd::flatten(r.in));
        std::FILE* encoded = file_of(mp3);
        std::FILE* output = std::tmpfile();
        std::uint8_t sector_buffer[sector_size] = {};
        verbose = 1;
        long rest = 0;
        EXPECT_EQ(printed_by([&] { rest = remux_audio(input, encoded, output, sector_buffer, 16000); }), r.printed);
        verbose = 0;
        EXPECT_EQ(std::to_string(rest), r.printed.substr(r.printed.rfind(':') + 1, r.printed.size() - r.printed.rfind(':') - 2));
        check_pass2(contents(output), r.in, mp3, r.expect);
        std::fclose(input);
        std::fclose(encoded);
    }
}

}  // namespace
