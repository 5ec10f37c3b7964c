// Damaged movies through the real binary: every run ends by itself with the
// expected messages, writes nothing to stderr (no sanitizer report), and
// leaves the input's bytes as they were.
#include "test_util.h"
#include "vornalt.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

struct movie_layout {
    bytes data;
    std::size_t first_audio;  // sector index of the packet that holds the ADX header
    int audio_sectors;
};

movie_layout base_movie()
{
    movie_layout m{tone_movie(1.0), 0, 0};
    for (std::size_t s = 0; s * sector_size < m.data.size(); ++s) {
        const std::uint8_t* p = m.data.data() + s * sector_size;
        if (read_long(p) == pack_code && read_long(p + 12) == audio_code) {
            if (m.audio_sectors++ == 0) m.first_audio = s;
        }
    }
    return m;
}

// Byte offset of the ADX header: the payload of the first audio packet.
std::size_t adx_at(const movie_layout& m)
{
    const std::uint8_t* s = m.data.data() + m.first_audio * sector_size;
    return m.first_audio * sector_size + 18 + static_cast<std::size_t>(skip_block_header(s + 18, 2030).length);
}

void put_be(bytes& b, std::size_t at, std::uint32_t v, int width)
{
    for (int i = 0; i < width; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
}

struct bad_case {
    std::string name;
    std::function<void(movie_layout&)> damage;
    std::string expect;  // a regular expression for the whole standard output
};

TEST(BadInput, EveryDamagedMovieEndsCleanlyAndStaysIntact)
{
    const std::string start = "x\\.sfd -> x\\.mpg\npass 1\n";
    const std::string finish = "make mpeg audio\npass 2\nrest:[0-9]+ ";
    const movie_layout base = base_movie();
    ASSERT_GT(base.audio_sectors, 3);
    const std::string no_header_anywhere = "(not adx!){" + std::to_string(base.audio_sectors + 1) + "}";
    const std::size_t a = base.first_audio * sector_size;

    std::vector<bad_case> cases = {
        {"empty file", [](movie_layout& m) { m.data.clear(); }, start + "not adx!" + finish},
        {"shorter than a sector", [](movie_layout& m) { m.data.resize(100); }, start + "not adx!" + finish},
        {"a sector of all 0xFF",
         [](movie_layout& m) { std::fill_n(m.data.begin() + 3 * sector_size, sector_size, 0xFF); },
         start + "unexpexted code:ffffffff sector 3\nmake mpeg audio\npass 2\nunexpexted code:ffffffff\nrest:[0-9]+ "},
    };
    // Truncations at every header boundary of the first sectors. The zero bytes
    // that stand for the missing tail are reported as what they look like.
    const std::string cut_pass1 = "(not adx!|unknown code:0\n|unknown 0\n|unexpexted code:0 sector [0-9]+\n)*";
    const std::string cut_pass2 = "(unknown code:0\n|unknown 0\n|unexpexted code:0\n)*";
    const std::size_t boundaries[] = {1, 4, 12, 16, 17, 18, 20, 25, 40, 60, 61, 62, 2047};
    for (const std::size_t sector : {std::size_t{0}, base.first_audio, base.first_audio + 1}) {
        for (const std::size_t b : boundaries) {
            const std::size_t cut = sector * sector_size + b;
            cases.push_back({"cut at " + std::to_string(cut), [cut](movie_layout& m) { m.data.resize(cut); },
                             start + cut_pass1 + "make mpeg audio\npass 2\n" + cut_pass2 + "rest:[0-9]+ "});
        }
    }
    for (const std::uint32_t length : {0u, 1u}) {
        cases.push_back({"header packet length " + std::to_string(length),
                         [a, length](movie_layout& m) { put_be(m.data, a + 16, length, 2); },
                         start + no_header_anywhere + finish});
    }
    for (const std::uint32_t length : {0u, 1u, 2031u, 0xFFFFu}) {
        cases.push_back({"later packet length " + std::to_string(length),
                         [a, length](movie_layout& m) {
                             put_be(m.data, a + 16, length > 2030 ? length : 2030, 2);
                             // the next audio packet gets the bad length
                             for (std::size_t s = a + sector_size; s < m.data.size(); s += sector_size) {
                                 if (read_long(m.data.data() + s + 12) == audio_code) {
                                     put_be(m.data, s + 16, length, 2);
                                     break;
                                 }
                             }
                         },
                         start + finish});
    }
    cases.push_back({"stuffing to the sector end",
                     [a](movie_layout& m) { std::fill_n(m.data.begin() + static_cast<long>(a) + 18, 2030, 0xFF); },
                     start + no_header_anywhere + finish});
    for (const std::uint8_t channels : {0, 3, 255}) {
        cases.push_back({"channels " + std::to_string(channels),
                         [channels](movie_layout& m) { m.data[adx_at(m) + 7] = channels; },
                         start + no_header_anywhere + finish});
    }
    for (const std::uint32_t offset : {0u, 1u, 0xFFFFu}) {
        cases.push_back({"copyright offset " + std::to_string(offset),
                         [offset](movie_layout& m) { put_be(m.data, adx_at(m) + 2, offset, 2); },
                         start + no_header_anywhere + finish});
    }
    for (const std::uint32_t count : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        cases.push_back({"sample count " + std::to_string(count),
                         [count](movie_layout& m) { put_be(m.data, adx_at(m) + 12, count, 4); }, start + finish});
    }
    for (const std::uint32_t near : {0x7FFFFF00u, 0x80000000u, 0xFFFFFF00u, 0xFFFFFFFFu}) {
        for (const bool bit33 : {false, true}) {
            cases.push_back({"stamps near " + std::to_string(near) + (bit33 ? " with bit 33" : ""),
                             [near, bit33](movie_layout& m) {
                                 std::uint32_t ts = near;
                                 for (std::size_t s = 0; s < m.data.size(); s += sector_size) {
                                     std::uint8_t* p = m.data.data() + s;
                                     if (read_long(p + 12) != audio_code) continue;
                                     const block_header h = skip_block_header(p + 18, 2030);
                                     write_timestamp(p + 18 + h.length - 5, ts, 0x20);
                                     if (bit33) p[18 + h.length - 5] |= 0x08;
                                     ts += 3000;  // wraps past 2^32 for the last ones
                                 }
                             },
                             start + finish});
        }
    }

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        write_bytes(dir / "prepared.mp2", mp2_tone(1.0));
        write_script(dir / "enc", "cp prepared.mp2 \"$2\"");
        movie_layout m = base;
        c.damage(m);
        write_bytes(dir / "x.sfd", m.data);
        const run_result r = run_shell("cd " + quoted(dir.path.string()) + " && timeout 60 " + quoted(VORNALT_BIN) +
                                       " -c ./enc x.sfd 2>stderr.txt");
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.expect))) << r.out;
        const bytes err = read_bytes(dir / "stderr.txt");
        EXPECT_TRUE(err.empty()) << std::string(err.begin(), err.end());
        EXPECT_EQ(read_bytes(dir / "x.sfd"), m.data) << "the input changed";
        EXPECT_TRUE(fs::exists(dir / "x.mpg"));
        // The WAV header never promises more than the file holds.
        const bytes wav = read_bytes(dir / "tmp.wav");
        if (wav.size() >= 44) {
            const std::uint32_t data_size = wav[40] | wav[41] << 8 | wav[42] << 16 | static_cast<std::uint32_t>(wav[43]) << 24;
            EXPECT_EQ(data_size, wav.size() - 44);
        }
    }
}

} // namespace
