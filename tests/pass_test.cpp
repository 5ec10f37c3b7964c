// Both passes over SFD fixtures, run in-process on temporary files.
#include "adxconv.h"
#include "sfd_builder.h"
#include "test_util.h"
#include "vornalt.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sfd::header_form;
using sfd::stamps;

struct tmp_file {
    std::FILE* f = std::tmpfile();
    explicit tmp_file(std::span<const std::uint8_t> data = {})
    {
        std::fwrite(data.data(), 1, data.size(), f);
        std::rewind(f);
    }
    ~tmp_file() { std::fclose(f); }
};

bytes flatten(const std::vector<sfd::sector>& sectors)
{
    bytes out;
    for (const auto& s : sectors) out.insert(out.end(), s.begin(), s.end());
    return out;
}

sfd::sector audio_sector(const header_form& form, std::uint32_t pts, std::span<const std::uint8_t> payload,
                         std::uint32_t dts = 0)
{
    return sfd::packet_sector(audio_code, sfd::packet_header(form, pts, dts), payload);
}

sfd::sector stream_sector(std::uint32_t code, std::span<const std::uint8_t> payload = {})
{
    const std::uint8_t no_stamps[] = {0x0F};
    return sfd::packet_sector(code, no_stamps, payload);
}

struct pass_result {
    bytes out;
    std::string printed;
};

pass_result run_pass1(std::span<const std::uint8_t> input)
{
    tmp_file in(input);
    tmp_file wav;
    std::uint8_t sector[sector_size] = {};
    pass_result r;
    r.printed = capture_stdout([&] { demux_audio(in.f, wav.f, sector); });
    r.out = file_contents(wav.f);
    return r;
}

pass_result run_pass2(std::span<const std::uint8_t> input, std::span<const std::uint8_t> mp3, int byte_rate,
                      int verbose_flag = 0)
{
    tmp_file in(input);
    tmp_file enc(mp3);
    tmp_file out;
    std::uint8_t sector[sector_size] = {};
    pass_result r;
    verbose = verbose_flag;
    r.printed = capture_stdout([&] { remux_audio(in.f, enc.f, out.f, sector, byte_rate); });
    verbose = 0;
    r.out = file_contents(out.f);
    return r;
}

// The WAV that the writer makes of a whole ADX stream in one chunk.
bytes direct_wav(std::span<const std::uint8_t> adx)
{
    tmp_file wav;
    capture_stdout([&] {
        adx_write_init();
        adx_write(wav.f, adx.data(), static_cast<int>(adx.size()));
        adx_write(wav.f, nullptr, 0);
    });
    return file_contents(wav.f);
}

bytes pattern(std::size_t n)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 % 251 + 1);
    return b;
}

const std::uint8_t* sector_at(const bytes& file, std::size_t index)
{
    return file.data() + index * sector_size;
}

// --- pass 1 -------------------------------------------------------------------

TEST(Pass1, EveryHeaderFormGivesTheWholeStream)
{
    const bytes& adx = adx_tone(2, 44100, 0.5);
    const bytes expect = direct_wav(adx);
    const header_form forms[] = {
        {0, true, stamps::pts}, {5, true, stamps::pts}, {0, false, stamps::pts_dts},
        {3, false, stamps::none}, {16, true, stamps::pts_dts},
    };
    for (const auto& form : forms) {
        sfd::mux_options options;
        options.audio_form = form;
        auto sectors = sfd::mux(mpeg1_video(0.5), adx, options);
        // Junk after a short audio packet inside its sector must not reach the writer.
        for (auto& s : sectors) {
            if (read_long(s.data() + 12) == audio_code && read_word(s.data() + 16) < max_packet_length)
                std::memset(s.data() + 18 + read_word(s.data() + 16), 0x5A, 2030 - read_word(s.data() + 16));
        }
        const pass_result r = run_pass1(flatten(sectors));
        EXPECT_EQ(r.printed, "");
        EXPECT_EQ(r.out, expect) << "stuffing " << form.stuffing;
    }
}

TEST(Pass1, ReportsJunkSectorsAndUnknownStreamsAndGoesOn)
{
    const bytes& adx = adx_tone(1, 22050, 0.2);
    std::vector<sfd::sector> sectors = {sfd::system_header_sector()};
    sfd::sector junk{};
    junk[2] = 1;
    junk[3] = 0xB3;
    sectors.push_back(junk);
    const header_form form{};
    const std::size_t half = 1000;
    sectors.push_back(audio_sector(form, 0, std::span(adx).first(half)));
    sectors.push_back(stream_sector(0x1BD, pattern(100)));
    sectors.push_back(stream_sector(0x1C1, pattern(100)));
    sectors.push_back(stream_sector(video_code, pattern(100)));
    sectors.push_back(stream_sector(padding_code, pattern(100)));
    sectors.push_back(stream_sector(private2_code, pattern(100)));
    sectors.push_back(audio_sector(form, 0, std::span(adx).subspan(half)));
    const pass_result r = run_pass1(flatten(sectors));
    EXPECT_EQ(r.printed, "unexpexted code:1b3 sector 1\nunknown code:1bd\nunknown code:1c1\n");
    EXPECT_EQ(r.out, direct_wav(adx)) << "no end code: the end of the file flushes the writer";
}

TEST(Pass1, NoAudioMeansNotAdxAndAnEmptyWav)
{
    const std::vector<sfd::sector> sectors = {sfd::system_header_sector(), stream_sector(video_code, pattern(50)),
                                              sfd::end_sector()};
    const pass_result r = run_pass1(flatten(sectors));
    EXPECT_EQ(r.printed, "not adx!");
    EXPECT_TRUE(r.out.empty());
    const pass_result empty = run_pass1({});
    EXPECT_EQ(empty.printed, "not adx!");
    EXPECT_TRUE(empty.out.empty());
}

TEST(Pass1, StopsAtTheEndCodeAndZeroFillsAShortLastSector)
{
    const bytes& adx = adx_tone(1, 22050, 0.5);
    const header_form form{};
    std::vector<sfd::sector> sectors = {audio_sector(form, 0, std::span(adx).first(2000)),
                                        audio_sector(form, 0, std::span(adx).subspan(2000, 2000))};
    // A last sector cut after 1000 bytes: its packet length still claims the whole payload.
    bytes cut = flatten(sectors);
    const sfd::sector last = audio_sector(form, 0, std::span(adx).subspan(4000, 2000));
    cut.insert(cut.end(), last.begin(), last.begin() + 1000);
    bytes zero_padded = cut;
    zero_padded.resize(3 * sector_size, 0);
    const pass_result a = run_pass1(cut);
    EXPECT_EQ(a.out, run_pass1(zero_padded).out) << "the cut sector's tail must read as zeros";

    // Whatever follows the end-of-stream sector is never read.
    sectors.push_back(sfd::end_sector());
    sectors.push_back(audio_sector(form, 0, std::span(adx).subspan(4000)));
    bytes stream(adx.begin(), adx.begin() + 4000);
    EXPECT_EQ(run_pass1(flatten(sectors)).out, direct_wav(stream));
}

// --- pass 2 -------------------------------------------------------------------

// The five stuffing bytes, buffer field and stamp of the worked example: 12 bytes.
const header_form twelve_byte_header{5, true, stamps::pts};

std::int32_t stamp_before_payload(const std::uint8_t* sector, int header_length, int back = 5)
{
    return static_cast<std::int32_t>(read_timestamp(sector + 18 + header_length - back));
}

TEST(Pass2, WorkedExampleCopiesSectorsAndStampsEveryPacket)
{
    std::vector<sfd::sector> in = {sfd::system_header_sector()};
    const int packets = 6;
    for (int i = 0; i < packets; ++i) {
        in.push_back(audio_sector(twelve_byte_header, 1000000 + 3000 * static_cast<std::uint32_t>(i), pattern(2018)));
        in.push_back(stream_sector(video_code, pattern(700 + static_cast<std::size_t>(i))));
    }
    in.push_back(sfd::end_sector());
    const bytes input = flatten(in);
    const bytes mp3 = pattern(20000);
    const pass_result r = run_pass2(input, mp3, 16000);

    ASSERT_EQ(r.out.size(), input.size());
    EXPECT_EQ(r.printed, "rest:" + std::to_string(20000 - packets * 2018) + " ");
    for (std::size_t s = 0; s < in.size(); ++s) {
        const std::uint8_t* got = sector_at(r.out, s);
        if (read_long(in[s].data() + 12) != audio_code || read_long(in[s].data()) != pack_code) {
            EXPECT_EQ(0, std::memcmp(got, in[s].data(), sector_size)) << "sector " << s << " copied";
            continue;
        }
        const auto k = static_cast<std::int32_t>((s - 1) / 2);
        EXPECT_EQ(0, std::memcmp(got, in[s].data(), 18 + 7)) << "pack and header up to the stamp untouched";
        EXPECT_EQ(stamp_before_payload(got, 12), 11351 * k) << "packet " << k;
        EXPECT_EQ(got[18 + 7] & 0xF1, 0x21);
        EXPECT_EQ(0, std::memcmp(got + 30, mp3.data() + 2018 * k, 2018)) << "packet " << k;
    }
}

TEST(Pass2, LaggingPacketIsDroppedAndTheNextTakesItsClock)
{
    // Clock: 0, 11351, 22702. The third packet's stamp 0 lies below 22702 - 11351.
    const std::uint32_t input_stamps[] = {0, 0, 0, 500000};
    std::vector<sfd::sector> in;
    for (const std::uint32_t pts : input_stamps) in.push_back(audio_sector(twelve_byte_header, pts, pattern(2018)));
    const bytes mp3 = pattern(10000);
    const pass_result r = run_pass2(flatten(in), mp3, 16000);
    ASSERT_EQ(r.out.size(), 3u * sector_size);
    EXPECT_EQ(stamp_before_payload(sector_at(r.out, 0), 12), 0);
    EXPECT_EQ(stamp_before_payload(sector_at(r.out, 1), 12), 11351);
    EXPECT_EQ(stamp_before_payload(sector_at(r.out, 2), 12), 22702);
    EXPECT_EQ(0, std::memcmp(sector_at(r.out, 2) + 30, mp3.data() + 2 * 2018, 2018)) << "dropped packet took no bytes";
}

TEST(Pass2, ShortPacketsAreStretchedToTheSector)
{
    std::vector<sfd::sector> in = {audio_sector(twelve_byte_header, 0, pattern(100)),
                                   audio_sector(twelve_byte_header, 0, pattern(2018))};
    std::memset(in[0].data() + 18 + 112, 0x5A, 2030 - 112);  // junk behind the short packet
    const bytes mp3 = pattern(8000);
    const pass_result r = run_pass2(flatten(in), mp3, 16000);
    ASSERT_EQ(r.out.size(), 2u * sector_size);
    for (int s = 0; s < 2; ++s) {
        EXPECT_EQ(read_word(sector_at(r.out, static_cast<std::size_t>(s)) + 16), 2030);
        EXPECT_EQ(0, std::memcmp(sector_at(r.out, static_cast<std::size_t>(s)) + 30, mp3.data() + 2018 * s, 2018));
    }
}

TEST(Pass2, StampPairsAndStamplessHeaders)
{
    const header_form pair{0, false, stamps::pts_dts};
    const header_form none{0, true, stamps::none};
    const std::uint8_t unknown_header[] = {0x00};
    std::vector<sfd::sector> in = {
        audio_sector(pair, 900000, pattern(2020), 0),         // presentation stamp ahead: kept
        audio_sector(none, 0, pattern(2027)),                  // no stamp: kept, clock advances
        sfd::packet_sector(audio_code, unknown_header, pattern(2030)),  // unknown byte: no stamp
        audio_sector(pair, 0, pattern(2020), 900000),         // presentation stamp behind: dropped
        audio_sector(twelve_byte_header, 900000, pattern(2018)),
    };
    const bytes input = flatten(in);
    const bytes mp3 = pattern(20000);
    const pass_result r = run_pass2(input, mp3, 16000);
    EXPECT_EQ(r.printed, "unknown 0\n" + std::string("rest:") + std::to_string(20000 - 2020 - 2027 - 2030 - 2018) + " ");
    ASSERT_EQ(r.out.size(), 4u * sector_size);

    const std::uint8_t* first = sector_at(r.out, 0);
    const std::int32_t d_pair = 2020 * 90000 / 16000;
    EXPECT_EQ(first[18] & 0xF1, 0x31);
    EXPECT_EQ(first[23] & 0xF1, 0x11);
    EXPECT_EQ(stamp_before_payload(first, 10, 10), 0);
    EXPECT_EQ(stamp_before_payload(first, 10, 5), 0);

    const std::uint8_t* stampless = sector_at(r.out, 1);
    EXPECT_EQ(0, std::memcmp(stampless, in[1].data(), 18 + 3)) << "header left as it was";
    EXPECT_EQ(0, std::memcmp(stampless + 21, mp3.data() + 2020, 2027));
    const std::uint8_t* bare = sector_at(r.out, 2);
    EXPECT_EQ(0, std::memcmp(bare + 18, mp3.data() + 2020 + 2027, 2030)) << "the unknown byte counts as payload";

    const std::int32_t d_none = 2027 * 90000 / 16000;
    // The dropped packet adds nothing; the last one gets the clock after three written packets.
    EXPECT_EQ(stamp_before_payload(sector_at(r.out, 3), 12), d_pair + d_pair + d_none)
        << "clock after three written packets, the first duration being a full payload's";
}

TEST(Pass2, ExhaustedAudioGivesZeroPayloadsAndTheClockStandsStill)
{
    std::vector<sfd::sector> in;
    for (int i = 0; i < 5; ++i) in.push_back(audio_sector(twelve_byte_header, 900000, pattern(2018)));
    const bytes mp3 = pattern(3000);
    const pass_result r = run_pass2(flatten(in), mp3, 16000);
    EXPECT_EQ(r.printed, "rest:0 ");
    ASSERT_EQ(r.out.size(), 5u * sector_size);
    const std::int32_t expect_stamps[] = {0, 11351, 22702, 22702 + 982 * 90000 / 16000, 22702 + 982 * 90000 / 16000};
    for (std::size_t s = 0; s < 5; ++s) EXPECT_EQ(stamp_before_payload(sector_at(r.out, s), 12), expect_stamps[s]);
    EXPECT_EQ(0, std::memcmp(sector_at(r.out, 1) + 30, mp3.data() + 2018, 982));
    const bytes zeros(2018, 0);
    EXPECT_EQ(0, std::memcmp(sector_at(r.out, 1) + 30 + 982, zeros.data(), 2018 - 982));
    for (std::size_t s = 2; s < 5; ++s) EXPECT_EQ(0, std::memcmp(sector_at(r.out, s) + 30, zeros.data(), 2018));
}

TEST(Pass2, LeavesOutPaddingPrivateUnknownAndJunkAndKeepsTheEnd)
{
    sfd::sector junk{};
    junk[3] = 0x42;
    std::vector<sfd::sector> in = {
        sfd::system_header_sector(),     stream_sector(padding_code, pattern(10)),
        stream_sector(private2_code),    stream_sector(0x1BD, pattern(10)),
        junk,                            stream_sector(video_code, pattern(300)),
        sfd::end_sector(),               stream_sector(video_code, pattern(300)),
    };
    const pass_result r = run_pass2(flatten(in), pattern(10), 16000);
    EXPECT_EQ(r.printed, "unknown code:1bd\nunexpexted code:42\nrest:10 ");
    ASSERT_EQ(r.out.size(), 3u * sector_size);
    EXPECT_EQ(0, std::memcmp(sector_at(r.out, 0), in[0].data(), sector_size));
    EXPECT_EQ(0, std::memcmp(sector_at(r.out, 1), in[5].data(), sector_size));
    EXPECT_EQ(0, std::memcmp(sector_at(r.out, 2), in[6].data(), sector_size));
}

TEST(Pass2, SequenceHeaderReportAndAShortLastSector)
{
    bytes seq = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0xA0, 0x00};
    const std::vector<sfd::sector> in = {
        stream_sector(video_code, seq),                                   // reported
        stream_sector(video_code, std::span(seq).first(11)),              // too short to hold one
        sfd::packet_sector(video_code, std::vector<std::uint8_t>{0x0F}, seq, 0, 0xFFFF),  // length bounded
    };
    bytes input = flatten(in);
    input.resize(input.size() - 1500);  // the last sector is cut short
    const std::string report = "width: 352\nheight: 240\naspect: 1\npict rate: 3\nbit rate: 262143\nbuffer size:20\n";
    const pass_result r = run_pass2(input, {}, 16000, 1);
    EXPECT_EQ(r.printed, report + report + "rest:0 ");
    ASSERT_EQ(r.out.size(), 3u * sector_size) << "a cut sector is written whole";
    EXPECT_EQ(0, std::memcmp(r.out.data(), input.data(), input.size()));
    const bytes zeros(1500, 0);
    EXPECT_EQ(0, std::memcmp(r.out.data() + input.size(), zeros.data(), 1500));
    EXPECT_EQ(run_pass2(input, {}, 16000, 0).printed, "rest:0 ");
}

} // namespace
