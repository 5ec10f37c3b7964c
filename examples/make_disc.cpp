// make_disc HD.iso DIR [cooked | hole START COUNT]
// Builds GD-ROM images around HD.iso, the file system of a high-density area
// as `genisoimage -C 0,45000` makes it (its sector 0 is the disc's 45000):
// a small data track at 0 and an audio track in the single-density area, then
//   (nothing more)   track03.bin: the high-density track of raw 2352-byte
//                    sectors; DIR/disc.gdi;
//   cooked           track03.iso: that track of 2048-byte sectors; DIR/disc.gdi;
//   hole START COUNT the sectors START to START + COUNT - 1 of HD.iso (a filler
//                    that genisoimage placed there) give way to an audio
//                    track with its pregap, and the files after them lie in a
//                    last data track: DIR/disc.gdi of one file a track, and
//                    DIR/disc.cue as published for the console's discs, with
//                    the pregaps of the audio track (150 sectors) and of the
//                    last data track (225) inside their files.
// Raw data sectors carry the sync pattern, their address, mode 1, and a valid
// EDC and P and Q parity (which chdman strips, and a reader of CHDs must make
// again). Audio sectors hold a pattern.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr int user = 2048;
constexpr int raw = 2352;
constexpr std::uint32_t hd = 45000;
constexpr std::uint32_t audio_pregap = 150;
constexpr std::uint32_t data_pregap = 225;

bytes read_file(const char* path)
{
    bytes data;
    if (std::FILE* f = std::fopen(path, "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<std::uint8_t>(c));
        std::fclose(f);
    }
    return data;
}

std::string dir;

void write_file(const std::string& name, const bytes& data)
{
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "make_disc: can't write %s\n", path.c_str());
        std::exit(1);
    }
}

std::uint8_t bcd(std::uint32_t v)
{
    return static_cast<std::uint8_t>(v / 10 << 4 | v % 10);
}

// GF(2^8) of x^8 + x^4 + x^3 + x^2 + 1, by shifts.
std::uint8_t times(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t p = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) p ^= a;
        a = static_cast<std::uint8_t>(a << 1 ^ (a & 0x80 ? 0x1D : 0));
    }
    return p;
}

// The two parity bytes of a vector of n bytes at sector positions 12 + pos(i):
// the A and B for which all n + 2 bytes XOR to 0 and the sum of byte i times
// alpha^(n+1-i), with A at alpha^1 and B at alpha^0, is 0 (found by trying
// every A).
template <typename Position>
void put_parity(std::uint8_t* s, int n, Position pos, std::uint8_t* a_at, std::uint8_t* b_at)
{
    std::uint8_t x = 0, sum = 0;
    for (int i = 0; i < n; ++i) {
        std::uint8_t term = s[12 + pos(i)];
        for (int k = 0; k < n + 1 - i; ++k) term = times(term, 2);
        x ^= s[12 + pos(i)];
        sum ^= term;
    }
    for (int a = 0; a < 256; ++a) {
        const auto b = static_cast<std::uint8_t>(x ^ a);
        if ((sum ^ times(static_cast<std::uint8_t>(a), 2) ^ b) == 0) {
            *a_at = static_cast<std::uint8_t>(a);
            *b_at = b;
            return;
        }
    }
}

// EDC (a CRC-32 of polynomial 0xD8018001, least significant bit first) and P
// and Q parity of a mode 1 sector.
void put_ecc(std::uint8_t* s)
{
    std::uint32_t edc = 0;
    for (int i = 0; i < 2064; ++i) {
        edc ^= s[i];
        for (int b = 0; b < 8; ++b) edc = edc & 1 ? edc >> 1 ^ 0xD8018001u : edc >> 1;
    }
    for (int i = 0; i < 4; ++i) s[2064 + i] = static_cast<std::uint8_t>(edc >> (8 * i));
    for (int p = 0; p < 86; ++p)
        put_parity(
            s, 24, [p](int c) { return p + 86 * c; }, s + 2076 + p, s + 2162 + p);
    for (int q = 0; q < 52; ++q)
        put_parity(
            s, 43, [q](int c) { return (86 * (q / 2) + 88 * c) % 2236 + q % 2; }, s + 2248 + q, s + 2300 + q);
}

// Raw mode 1 sectors from lba on, of the user data at data (whole sectors; zeros past its end).
void put_data(bytes& out, std::uint32_t lba, const std::uint8_t* data, std::size_t sectors, std::size_t have)
{
    for (std::size_t i = 0; i < sectors; ++i) {
        std::uint8_t s[raw] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
        const std::uint32_t frames = lba + static_cast<std::uint32_t>(i) + 150;
        s[12] = bcd(frames / 75 / 60);
        s[13] = bcd(frames / 75 % 60);
        s[14] = bcd(frames % 75);
        s[15] = 1;
        if (i * user < have) std::memcpy(s + 16, data + i * user, std::min<std::size_t>(user, have - i * user));
        put_ecc(s);
        out.insert(out.end(), s, s + raw);
    }
}

void put_audio(bytes& out, std::size_t sectors)
{
    for (std::size_t i = 0; i < sectors * raw; ++i) out.push_back(static_cast<std::uint8_t>(i * 7 + 3));
}

// A data track of the ISO's sectors from..to - 1, raw (from lba on) or cooked.
bytes track_of(const bytes& iso, std::size_t from, std::size_t to, std::uint32_t lba, bool cooked)
{
    if (cooked) return bytes(iso.begin() + static_cast<long>(from * user), iso.begin() + static_cast<long>(to * user));
    bytes out;
    put_data(out, lba, iso.data() + from * user, to - from, (to - from) * user);
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool cooked = argc == 4 && std::strcmp(argv[3], "cooked") == 0;
    const bool hole = argc == 6 && std::strcmp(argv[3], "hole") == 0;
    if (argc != 3 && !cooked && !hole) {
        std::fprintf(stderr, "usage: make_disc HD.iso DIR [cooked | hole START COUNT]\n");
        return 2;
    }
    const bytes iso = read_file(argv[1]);
    dir = argv[2];
    const std::size_t sectors = iso.size() / user;
    if (sectors < 20) {
        std::fprintf(stderr, "make_disc: can't read %s\n", argv[1]);
        return 1;
    }
    // The single-density area: 300 data sectors at 0, 300 audio sectors at 600.
    bytes sd;
    put_data(sd, 0, nullptr, 300, 0);
    write_file("track01.bin", sd);
    bytes audio;
    put_audio(audio, 300);
    write_file("track02.raw", audio);
    const std::string head = "1 0 4 2352 track01.bin 0\r\n2 600 0 2352 track02.raw 0\r\n";
    if (!hole) {
        write_file(cooked ? "track03.iso" : "track03.bin", track_of(iso, 0, sectors, hd, cooked));
        const std::string gdi =
            "3\r\n" + head + (cooked ? "3 45000 4 2048 track03.iso 0\r\n" : "3 45000 4 2352 track03.bin 0\r\n");
        write_file("disc.gdi", bytes(gdi.begin(), gdi.end()));
        return 0;
    }
    const auto start = static_cast<std::size_t>(std::strtoul(argv[4], nullptr, 10));
    const auto count = static_cast<std::size_t>(std::strtoul(argv[5], nullptr, 10));
    if (count <= audio_pregap + data_pregap || start + count >= sectors) {
        std::fprintf(stderr, "make_disc: no room for an audio track there\n");
        return 1;
    }
    const std::size_t tail = start + count;  // where the last data track's own sectors start
    const std::size_t audio_sectors = count - audio_pregap - data_pregap;
    write_file("track03.bin", track_of(iso, 0, start, hd, false));
    bytes hd_audio;
    put_audio(hd_audio, audio_sectors);
    write_file("track04.raw", hd_audio);
    write_file("track05.bin", track_of(iso, tail, sectors, hd + static_cast<std::uint32_t>(tail), false));
    const std::string gdi = "5\r\n" + head + "3 45000 4 2352 track03.bin 0\r\n4 " +
                            std::to_string(hd + start + audio_pregap) + " 0 2352 track04.raw 0\r\n5 " +
                            std::to_string(hd + tail) + " 4 2352 track05.bin 0\r\n";
    write_file("disc.gdi", bytes(gdi.begin(), gdi.end()));
    // The same disc as published: the pregaps inside the files of their tracks.
    bytes with_pregap;
    put_audio(with_pregap, audio_pregap);
    with_pregap.insert(with_pregap.end(), audio.begin(), audio.end());
    write_file("Track 2.bin", with_pregap);
    bytes hd_with_pregap;
    put_audio(hd_with_pregap, audio_pregap);
    hd_with_pregap.insert(hd_with_pregap.end(), hd_audio.begin(), hd_audio.end());
    write_file("Track 4.bin", hd_with_pregap);
    bytes last;
    put_data(last, hd + static_cast<std::uint32_t>(start + audio_pregap + audio_sectors), nullptr, data_pregap, 0);
    const bytes data = track_of(iso, tail, sectors, hd + static_cast<std::uint32_t>(tail), false);
    last.insert(last.end(), data.begin(), data.end());
    write_file("Track 5.bin", last);
    const std::string cue =
        "REM SINGLE-DENSITY AREA\r\n"
        "FILE \"track01.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
        "FILE \"Track 2.bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 00 00:00:00\r\n"
        "    INDEX 01 00:02:00\r\n"
        "REM HIGH-DENSITY AREA\r\n"
        "FILE \"track03.bin\" BINARY\r\n  TRACK 03 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
        "FILE \"Track 4.bin\" BINARY\r\n  TRACK 04 AUDIO\r\n    INDEX 00 00:00:00\r\n"
        "    INDEX 01 00:02:00\r\n"
        "FILE \"Track 5.bin\" BINARY\r\n  TRACK 05 MODE1/2352\r\n    INDEX 00 00:00:00\r\n"
        "    INDEX 01 00:03:00\r\n";
    write_file("disc.cue", bytes(cue.begin(), cue.end()));
    return 0;
}
