// Both passes over tables of fixture movies, run in-process on temporary files.
#include "adxconv.h"
#include "mpeg.h"
#include "passes.h"
#include "util.h"

namespace {

using sfd::header_form;
using sfd::sector;

bytes pattern(std::size_t n, std::size_t seed = 1)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251 + 1);
    return b;
}

sector packet(std::uint32_t code, std::span<const std::uint8_t> payload, const header_form& form = {0, false, 0}, std::uint32_t pts = 0, std::uint32_t dts = 0)
{
    return sfd::packet_sector(code, sfd::packet_header(form, pts, dts), payload);
}

TEST(Pass1, FeedsEveryAudioPayloadToTheWriter)
{
    const bytes& adx = adx_tone(2, 44100, 0.3);
    const std::span<const std::uint8_t> a(adx);
    sector junk{}, short_packet = packet(audio_code, a.subspan(5000, 100));
    junk[3] = 0x42;
    std::memset(&short_packet[18 + 101], 0x5A, 2048 - 18 - 101);  // bytes behind a short packet never reach the writer
    // Every header form, junk and unknown streams, no end code.
    const std::vector<sector> mixed = {packet(audio_code, a.first(2000), {3, true, 1}), junk, packet(0x1BD, pattern(9)), packet(0x1C1, pattern(9)),
                                       packet(padding_code, {}), packet(private2_code, {}), packet(audio_code, a.subspan(2000, 2000), {16, false, 2}),
                                       packet(audio_code, a.subspan(4000, 1000)), short_packet, packet(audio_code, a.subspan(5100))};
    const std::vector<sector> ended = {packet(audio_code, a.first(3000)), sfd::end_sector(), packet(audio_code, a.subspan(2029))};
    bytes cut = sfd::flatten(std::span(ended).first(1)), stream_of_cut(a.begin(), a.begin() + 1000);
    cut.resize(18 + 1 + 1000);  // cut after 1000 payload bytes: the rest of the sector reads as zeros
    stream_of_cut.resize(2029);
    const std::tuple<bytes, bytes, std::string> rows[] = {
        {sfd::flatten(mixed), bytes(a.begin(), a.begin() + 5100 + 2029), "unexpexted code:42 sector 1\nunknown code:1bd\nunknown code:1c1\n"},
        {sfd::flatten(ended), bytes(a.begin(), a.begin() + 2029), ""},
        {cut, stream_of_cut, ""},
        {sfd::flatten(std::vector<sector>{packet(video_code, pattern(30))}), {}, "not adx!"},
        {{}, {}, "not adx!"}};
    for (const auto& [movie, stream, printed] : rows) {
        std::FILE* input = file_of(movie);
        std::FILE* wav = std::tmpfile();
        std::uint8_t buffer[sector_size] = {};
        EXPECT_EQ(printed_by([&] { demux_audio(input, wav, buffer); }), printed);
        std::FILE* direct = std::tmpfile();  // the writer fed the whole stream at once
        printed_by([&] { adx_write_init(), adx_write(direct, stream.data(), static_cast<int>(stream.size())), adx_write(direct, nullptr, 0); });
        EXPECT_EQ(contents(wav), stream.empty() ? bytes{} : contents(direct)) << printed;
        std::fclose(input);
    }
}

// A sector of pass 2's output: a copy of input sector `from` or, with `placed`
// >= 0, that audio sector carrying the next `placed` encoded bytes and the stamp.
struct out_sector {
    std::size_t from;
    int placed = -1;
    std::int64_t stamp = 0;
};

void check_pass2(const bytes& out, const std::vector<sector>& in, const bytes& mp3, const std::vector<out_sector>& expect)
{
    ASSERT_EQ(out.size(), expect.size() * sector_size);
    std::size_t used = 0;
    for (std::size_t k = 0; k < expect.size(); ++k) {
        const std::uint8_t* s = &out[k * sector_size];
        const sector& src = in[expect[k].from];
        const int placed = expect[k].placed;
        if (placed < 0) {
            EXPECT_EQ(0, std::memcmp(s, src.data(), sector_size)) << k;
            continue;
        }
        // The header as it was up to its stamps; the stamps (both of a pair) from the clock.
        const block_header h = skip_block_header(&src[18], 2030);
        const int stamps = h.form == stamp_form::pts ? 5 : h.form == stamp_form::pts_dts ? 10 : 0, end = 18 + h.length + placed, rest = 2048 - end;
        EXPECT_EQ(0, std::memcmp(s, src.data(), 16)) << k;
        EXPECT_EQ(0, std::memcmp(s + 18, &src[18], static_cast<std::size_t>(h.length - stamps))) << k;
        for (int at = 18 + h.length - stamps; at < 18 + h.length; at += 5) {
            EXPECT_EQ(read_timestamp(s + at), static_cast<std::uint32_t>(expect[k].stamp)) << k;
            EXPECT_EQ(s[at] & 0xF1, stamps == 5 ? 0x21 : at == 18 + h.length - 10 ? 0x31 : 0x11) << k;
        }
        // The encoded bytes in order, then the packet ends: a padding packet, or zeros in too small a room.
        ASSERT_LE(used + static_cast<std::size_t>(placed), mp3.size());
        EXPECT_EQ(0, std::memcmp(s + 18 + h.length, &mp3[used], static_cast<std::size_t>(placed))) << k;
        used += static_cast<std::size_t>(placed);
        bytes tail(s + end, s + 2048), padding(static_cast<std::size_t>(rest), rest >= 6 ? 0xFF : 0);
        if (rest >= 6) sfd::put_be(padding.data(), 0x1BE, 4), sfd::put_be(&padding[4], static_cast<std::uint32_t>(rest - 6), 2);
        EXPECT_EQ(read_word(s + 16), rest >= 6 ? h.length + placed : 2030) << k;
        EXPECT_EQ(tail, padding) << k;
    }
}

TEST(Pass2, RewritesTheAudioAndKeepsTheRest)
{
    const header_form twelve{5, true, 1}, pair{0, false, 2}, bare{0, true, 0};
    const auto audio = [](const header_form& form, std::uint32_t pts, std::size_t n = 2018, std::uint32_t dts = 0) { return packet(audio_code, pattern(n), form, pts, dts); };
    const std::int64_t d = 2018 * 90000 / 16000, d_pair = 2020 * 90000 / 16000, d_bare = 2027 * 90000 / 16000;
    const bytes seq = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0xA0}, unknown = {0x00};
    sector junk{};
    junk[3] = 0x42;
    struct row {
        std::vector<sector> in;
        std::size_t mp3_size;
        std::vector<out_sector> expect;
        std::string printed;
    };
    const row rows[] = {
        // The clock starts at the first audio stamp; a short packet fills its sector; a lagging one is left out; the end sector ends the pass.
        {{packet(system_header_code, {}), audio(twelve, 90000), packet(video_code, pattern(500)), audio(twelve, 90000, 100), audio(twelve, 0),
          audio(twelve, 500000), sfd::end_sector(), audio(twelve, 500000)},
         20000, {{0}, {1, 2018, 90000}, {2}, {3, 2018, 90000 + d}, {5, 2018, 90000 + 2 * d}, {6}}, "rest:13946 "},
        // Stamp-less packets before the first stamp; a header byte of no known form.
        {{audio(bare, 0, 2027), audio(twelve, 7000), audio(twelve, 9000), sfd::packet_sector(audio_code, unknown, pattern(100))},
         10000, {{0, 2027}, {1, 2018, 7000}, {2, 2018, 7000 + d_bare}, {3, 2030}}, "unknown 0\nrest:1907 "},
        // Stamp pairs: the presentation stamp decides, both are rewritten.
        {{audio(pair, 5000, 2020, 0), audio(pair, 0, 2020, 900000), audio(pair, 20000, 2020)}, 9000, {{0, 2020, 5000}, {2, 2020, 5000 + d_pair}}, "rest:4960 "},
        // The encoded audio runs out: with room for a padding packet, with 3 bytes left; the packets after are left out.
        {{audio(twelve, 0), audio(twelve, 0), audio(twelve, 0), packet(video_code, pattern(9))}, 3018, {{0, 2018, 0}, {1, 1000, d}, {3}}, "rest:0 "},
        {{audio(twelve, 0), audio(twelve, 0), audio(twelve, 0)}, 4033, {{0, 2018, 0}, {1, 2015, d}}, "rest:0 "},
        // Sectors left out; the sequence-header report for a payload that holds one.
        {{packet(padding_code, {}), packet(private2_code, {}), packet(0x1BD, pattern(9)), junk, packet(video_code, seq), packet(video_code, std::span(seq).first(11))},
         0, {{4}, {5}}, "unknown code:1bd\nunexpexted code:42\nwidth: 352\nheight: 240\naspect: 1\npict rate: 3\nbit rate: 262143\nbuffer size:20\nrest:0 "},
    };
    for (const row& r : rows) {
        const bytes mp3 = pattern(r.mp3_size, 5);
        std::FILE* input = file_of(sfd::flatten(r.in));
        std::FILE* encoded = file_of(mp3);
        std::FILE* output = std::tmpfile();
        std::uint8_t buffer[sector_size] = {};
        long rest = 0;
        verbose = 1;
        EXPECT_EQ(printed_by([&] { rest = remux_audio(input, encoded, output, buffer, 16000); }), r.printed);
        verbose = 0;
        EXPECT_EQ("rest:" + std::to_string(rest) + " ", r.printed.substr(r.printed.rfind("rest:")));
        check_pass2(contents(output), r.in, mp3, r.expect);
        std::fclose(input);
        std::fclose(encoded);
    }
}

}  // namespace
