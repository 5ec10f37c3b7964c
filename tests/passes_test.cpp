// Both passes over tables of movies made by the fixture builder, run
// in-process on temporary files: the cases that whole conversions of the
// fixtures don't reach.
#include "adxconv.h"
#include "passes.h"
#include "util.h"

namespace {

using sfd::sector;

bytes pattern(std::size_t n, std::size_t seed = 1)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251 + 1);
    return b;
}

sector packet(std::uint32_t code, std::span<const std::uint8_t> payload, const bytes& header = {0x0F})
{
    return sfd::packet_sector(code, header, payload);
}

// Pass 1 hands the writer each audio payload, so its WAV is the one the
// writer makes of the payloads in one piece.
TEST(Pass1, FeedsEveryAudioPayloadToTheWriter)
{
    const bytes adx = audio_payloads(read_bytes(fixture("s44.sfd")));
    const std::span<const std::uint8_t> a(adx);
    sector junk{}, short_packet = packet(audio_code, a.subspan(5000, 100)), video = packet(video_code, pattern(30));
    junk[3] = 0x42;
    std::memset(&short_packet[18 + 101], 0x5A, 2048 - 18 - 101);  // behind a short packet: never the writer's
    // Header forms (four that end where the packet ends: stuffing to the sector's end, two inside a stamp), junk and
    // unknown streams, no end code.
    const bytes mixed = sfd::flatten(std::vector<sector>{
        packet(audio_code, a.first(2000), sfd::packet_header(3, true, 1)), packet(audio_code, {}, bytes(2030, 0xFF)),
        packet(audio_code, {}, bytes{0xFF, 0x60, 0x2E}), packet(audio_code, {}, bytes{0x21, 0, 1}),
        packet(audio_code, {}, bytes{0x31, 0, 1, 0}), junk, packet(0x1BD, pattern(9)), packet(0x1C1, pattern(9)),
        packet(padding_code, {}), packet(private2_code, {}),
        packet(audio_code, a.subspan(2000, 2000), sfd::packet_header(16, false, 2)),
        packet(audio_code, a.subspan(4000, 1000)), short_packet, packet(audio_code, a.subspan(5100))});
    // An end code with sectors after it.
    const bytes ended = sfd::flatten(
        std::vector<sector>{packet(audio_code, a), sfd::end_sector(), packet(audio_code, a.subspan(2029))});
    // A movie without ADX audio whose audio pass 2 may copy: video without audio packets, or MPEG audio.
    const auto audio_of = [&](std::uint32_t header, std::size_t size = 100) {
        bytes frame(size);
        sfd::put_be(frame.data(), header, 4);
        return sfd::flatten(std::vector<sector>{packet(audio_code, frame), video});
    };
    using found = found_audio;
    const std::tuple<bytes, bytes, std::string, found_audio> rows[] = {
        {mixed, bytes(a.begin(), a.begin() + 5100 + 2029),
         "unexpexted code:42 sector 5\nunknown code:1bd\nunknown code:1c1\n", found::adx},
        {ended, bytes(a.begin(), a.begin() + 2029), "", found::adx},
        {bytes(video.begin(), video.end()), {}, "not adx!", found::copyable},
        {audio_of(0xFFFD8004), {}, "not adx!not adx!", found::copyable},
        {audio_of(0xFFFD8004, 4), {}, "not adx!not adx!", found::copyable},
        {audio_of(0xFFF98004), {}, "not adx!not adx!", found::none},  // no layer
        {audio_of(0xFFFDF004), {}, "not adx!not adx!", found::none},  // bit-rate index 15
        {audio_of(0xFFFD8C04), {}, "not adx!not adx!", found::none},  // sampling-frequency index 3
        {audio_of(0xFFED8004), {}, "not adx!not adx!", found::none},  // no sync
        {sfd::flatten(std::vector<sector>{packet(system_header_code, {})}), {}, "not adx!", found::none},
        {{}, {}, "not adx!", found::none}};
    for (const auto& [movie, stream, printed, audio] : rows) {
        movie_source input;
        input.file.adopt(file_of(movie));
        std::FILE* wav = std::tmpfile();
        std::uint8_t buffer[sector_size] = {};
        messages log{true, "", ""};
        static adx_writer writer;
        const pass1_result pass = demux_audio(input, wav, buffer, writer, adx_level::standard, log);
        EXPECT_EQ(pass.audio, audio) << printed;
        EXPECT_EQ(pass.read_error, "") << printed;
        EXPECT_EQ(log.out, printed);
        EXPECT_EQ(contents(wav), write_wav(stream, stream.size(), 0)) << printed;
    }
}

// A sector of pass 2's output: a copy of input sector `from` or, with
// `placed` >= 0, that audio sector with the next `placed` encoded bytes and the
// stamp, its header behind `stuffed` more stuffing bytes.
struct out_sector {
    std::size_t from;
    int placed = -1;
    std::int64_t stamp = 0;
    int stuffed = 0;
};

void check_sector(const std::uint8_t* s, const std::uint8_t* src, const out_sector& expect, const std::uint8_t* encoded)
{
    messages quiet{true, "", ""};
    const block_header h = skip_block_header(src + 18, 2030, quiet);
    const int stamps = h.form == stamp_form::pts ? 5 : h.form == stamp_form::pts_dts ? 10 : 0;
    const int start = 18 + expect.stuffed, end = start + h.length + expect.placed, rest = 2048 - end;
    // The added stuffing and the header as it was up to its stamps; the stamps (both of a pair) from the clock.
    EXPECT_TRUE(std::equal(s, s + 16, src) && std::equal(s + start, s + start + h.length - stamps, src + 18));
    EXPECT_EQ(bytes(s + 18, s + start), bytes(static_cast<std::size_t>(expect.stuffed), 0xFF));
    for (int at = start + h.length - stamps; at < start + h.length; at += 5) {
        EXPECT_EQ(read_timestamp(s + at), static_cast<std::uint32_t>(expect.stamp));
        EXPECT_EQ(s[at] & 0xF1, stamps == 5 ? 0x21 : at == start + h.length - 10 ? 0x31 : 0x11);
    }
    // The encoded bytes; the packet ends at the sector's end or before a padding packet that does.
    EXPECT_TRUE(std::equal(s + start + h.length, s + end, encoded));
    EXPECT_EQ(read_word(s + 16), end - 18);
    ASSERT_TRUE(rest == 0 || rest >= 6);
    bytes padding(static_cast<std::size_t>(rest), 0xFF);
    if (rest >= 6) sfd::put_be(padding.data(), 0x1BE, 4), sfd::put_be(&padding[4], rest - 6u, 2);
    EXPECT_EQ(bytes(s + end, s + 2048), padding);
}

TEST(Pass2, RewritesTheAudioAndKeepsTheRest)
{
    const auto audio = [](std::int64_t pts, std::size_t n = 2018, int stamps = 1, std::int64_t dts = 0) {
        const auto t = static_cast<std::uint32_t>(pts), d = static_cast<std::uint32_t>(dts);
        return packet(audio_code, pattern(n),
                      stamps == 1 ? sfd::packet_header(5, true, 1, t)
                                  : sfd::packet_header(0, stamps == 0, stamps, t, d));
    };
    const auto stuffed = [](std::int64_t pts) {
        return packet(audio_code, pattern(2011), sfd::packet_header(12, true, 1, static_cast<std::uint32_t>(pts)));
    };
    const std::uint32_t big = 0x33403020;  // bits in every byte of the stamp form
    // Durations at 16000 bytes/s of 12-, 10-, 3- and 19-byte headers' payloads.
    const std::int64_t d = 2018 * 90000 / 16000, d_pair = 2020 * 90000 / 16000, d_bare = 2027 * 90000 / 16000,
                       d19 = 2011 * 90000 / 16000;
    // A sequence header with bits set on both sides of every field's boundaries.
    const bytes seq = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x8F, 0xF1, 0x13, 0xA5, 0x5A, 0xE5, 0xA8};
    sector junk{};
    junk[3] = 0x42;
    const std::tuple<std::vector<sector>, std::size_t, std::vector<out_sector>, std::string> rows[] = {
        // The clock starts at the first audio stamp; a short packet fills its sector; a lagging one is
        // left out; the end sector ends the pass.
        {{packet(system_header_code, {}), audio(90000), packet(video_code, pattern(500)), audio(90000, 100), audio(0),
          audio(500000), sfd::end_sector(), audio(500000)},
         20000,
         {{0}, {1, 2018, 90000}, {2}, {3, 2018, 90000 + d}, {5, 2018, 90000 + 2 * d}, {6}},
         "rest:13946 "},
        // Stamp-less packets before the first stamp, which has high bits set; a stamp ahead of the clock in
        // every byte is rewritten whole; a header byte of no known form.
        {{audio(0, 2027, 0), audio(big), audio(big + 0x2C808080), packet(audio_code, pattern(100), {0x00})},
         10000,
         {{0, 2027}, {1, 2018, big}, {2, 2018, big + d_bare}, {3, 2030}},
         "unknown 0\nrest:1907 "},
        // Stamp pairs: the presentation stamp decides, both are rewritten.
        {{audio(5000, 2020, 2, 0), audio(0, 2020, 2, 900000), audio(20000, 2020, 2)},
         9000,
         {{0, 2020, 5000}, {2, 2020, 5000 + d_pair}},
         "rest:4960 "},
        // The encoded audio runs out: with room for a padding packet; the packets after it are left out.
        {{audio(0), audio(0), audio(0), packet(video_code, pattern(9))},
         3018,
         {{0, 2018, 0}, {1, 1000, d}, {3}},
         "rest:0 "},
        // 1 to 5 bytes left: stuffing takes them, up to 16 stuffing bytes in all; past that an empty padding
        // packet ends the packet and the bytes it displaces go to the next audio packet, or count as rest.
        {{audio(0), audio(0), audio(0)}, 4033, {{0, 2018, 0}, {1, 2015, d, 3}}, "rest:0 "},
        {{audio(0), audio(0), audio(0)}, 4030, {{0, 2018, 0}, {1, 2012, d}}, "rest:0 "},
        // A full packet keeps a header of more stuffing than MPEG-1 allows.
        {{packet(audio_code, pattern(2003), sfd::packet_header(20, true, 1))}, 2103, {{0, 2003, 0}}, "rest:100 "},
        {{stuffed(0), stuffed(0), stuffed(0)}, 4018, {{0, 2011, 0}, {1, 2007, d19, 4}}, "rest:0 "},
        {{stuffed(0), stuffed(d19), stuffed(2 * d19)},
         4017,
         {{0, 2011, 0}, {1, 2005, d19}, {2, 1, 2 * d19}},
         "rest:0 "},
        {{stuffed(0), stuffed(0)}, 4017, {{0, 2011, 0}, {1, 2005, d19}}, "rest:1 "},
        // A packet whose every byte would go back to the next one is left out: 2 bytes of room.
        {{packet(audio_code, pattern(2), sfd::packet_header(2027, false, 0))}, 1, {}, "rest:1 "},
        // Sectors left out; the sequence-header report for a payload that holds one.
        {{packet(padding_code, {}), packet(private2_code, {}), packet(0x1BD, pattern(9)), junk, packet(video_code, seq),
          packet(video_code, std::span(seq).first(11))},
         100,
         {{4}, {5}},
         "unknown code:1bd\nunexpexted code:42\nwidth: 360\nheight: 4081\naspect: 1\npict rate: 3\n"
         "bit rate: 169323\nbuffer size:181\nrest:100 "},
    };
    for (const auto& [in, encoded_size, expect, printed] : rows) {
        const bytes encoded = pattern(encoded_size, 5);
        movie_source input;
        input.file.adopt(file_of(sfd::flatten(in)));
        std::FILE *mp3 = file_of(encoded), *output = std::tmpfile();
        std::uint8_t buffer[sector_size] = {};
        messages log{true, "", ""};
        const long rest = remux_audio(input, mp3, output, buffer, 16000, log, true).rest;
        EXPECT_EQ(log.out, printed);
        EXPECT_EQ("rest:" + std::to_string(rest) + " ", printed.substr(printed.rfind("rest:")));
        const bytes out = contents(output);
        ASSERT_EQ(out.size(), expect.size() * sector_size) << printed;
        std::size_t used = 0;
        for (std::size_t k = 0; k < expect.size(); ++k) {
            SCOPED_TRACE(printed + ", output sector " + std::to_string(k));
            const std::uint8_t* s = &out[k * sector_size];
            if (expect[k].placed < 0) {
                EXPECT_EQ(0, std::memcmp(s, in[expect[k].from].data(), sector_size));
                continue;
            }
            ASSERT_LE(used + static_cast<std::size_t>(expect[k].placed), encoded.size());
            check_sector(s, in[expect[k].from].data(), expect[k], &encoded[used]);
            used += static_cast<std::size_t>(expect[k].placed);
        }
        std::fclose(mp3);
    }
}

// The probe skips an ID3v2 tag and an "Info" tag frame, tells a
// variable-bit-rate tag frame, and leaves the encoded audio where its first
// frame starts.
TEST(Probe, FindsWhereTheAudioStarts)
{
    const bytes mp2 = read_bytes(fixture("prepared.mp2"));  // 64 kbit/s
    const auto frame = [](const char* header, const char* tag) {
        return std::string(header, 4) + std::string(32, '\0') + tag + std::string(377, '\0');  // 417 bytes
    };
    // A prefix alone (no audio after it) ends in "!".
    const std::tuple<std::string, int, bool, long> rows[] = {
        {"", 8000, false, 0},
        {"\xFF\xFD\x80\x04!", 16000, false, 0},
        {"\xFF\xFD\x80!", 0, false, 0},  // shorter than a frame header
        {std::string("ID3\4\0\0\0\0\0\5abcde", 15), 8000, false, 15},
        {std::string("ID3\4\0\0\x7F\x7F\x7F\x7F", 10), 0, false, 10 + 0xFFFFFFF},  // longer than the file
        {frame("\xFF\xFB\x90\x00", "Info"), 8000, false, 417},                     // 128 kbit/s: its length
        {frame("\xFF\xFB\x50\x00", "Xing"), 8000, true, 0},
    };
    for (const auto& [prefix, byte_rate, variable, start] : rows) {
        const bool alone = !prefix.empty() && prefix.back() == '!';
        bytes encoded(prefix.begin(), prefix.end() - alone);
        if (!alone) encoded.insert(encoded.end(), mp2.begin(), mp2.end());
        std::FILE* mp3 = file_of(encoded);
        std::uint8_t sector[sector_size] = {};
        const audio_probe probe = probe_byte_rate(mp3, sector, nullptr);
        EXPECT_EQ(probe.byte_rate, byte_rate) << prefix.substr(0, 4);
        EXPECT_EQ(probe.variable, variable) << prefix.substr(0, 4);
        EXPECT_EQ(std::ftell(mp3), start) << prefix.substr(0, 4);
        std::fclose(mp3);
    }
}

}  // namespace
