// make_disc ISO DIR [cooked | hole START COUNT | cd START | datadata]
// Builds disc images around ISO, a file system that genisoimage made.
// GD-ROMs, ISO being the file system of a high-density area as
// `genisoimage -C 0,45000` makes it (its sector 0 is the disc's 45000): a
// small data track at 0 and an audio track in the single-density area, then
//   (nothing more)   track03.bin: the high-density track of raw 2352-byte
//                    sectors; DIR/disc.gdi;
//   cooked           track03.iso: that track of 2048-byte sectors; DIR/disc.gdi;
//   hole START COUNT the sectors START to START + COUNT - 1 of ISO (a filler
//                    that genisoimage placed there) give way to an audio
//                    track with its pregap, and the files after them lie in a
//                    last data track: DIR/disc.gdi of one file a track, and
//                    DIR/disc.cue as published for the console's discs, with
//                    the pregaps of the audio track (150 sectors) and of the
//                    last data track (225) inside their files.
// CD-format discs of two sessions, as published (DIR/disc.cue, one file a
// track, "Track N.bin"), their data tracks of mode 2 form 1 sectors, each
// ending with two run-out sectors of form 2:
//   cd START         an audio track of 302 sectors, then in the second
//                    session the data track of ISO, which
//                    `genisoimage -C 0,START` made;
//   datadata         a data track of the whole of ISO (made from sector 0),
//                    then in the second session, 11400 sectors after it, one
//                    of 302 sectors that holds ISO's first sectors up to its
//                    volume descriptors' end: its file system's descriptors,
//                    whose files lie in the first.
// Data sectors carry the sync pattern, their address, the mode, and a valid
// EDC and P and Q parity (which chdman strips, and a reader of CHDs must make
// again). Audio sectors hold a pattern.
#include "cd_sectors.h"

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
// A CD's second session starts so many sectors after its first ends.
constexpr std::uint32_t session_gap = 11400;

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

// Raw data sectors of a mode from lba on, of the user data at data (whole sectors; zeros past its end).
void put_data(bytes& out, std::uint32_t lba, const std::uint8_t* data, std::size_t sectors, std::size_t have,
              std::uint8_t mode = 1)
{
    std::uint8_t s[raw];
    for (std::size_t i = 0; i < sectors; ++i) {
        const std::size_t at = i * user;
        cd::data_sector(s, lba + static_cast<std::uint32_t>(i), mode, at < have ? data + at : nullptr,
                        at < have ? have - at : 0);
        out.insert(out.end(), s, s + raw);
    }
}

// The two run-out sectors of form 2 that end a data track written on a CD-R.
void put_run_out(bytes& out, std::uint32_t lba)
{
    std::uint8_t s[raw];
    for (std::uint32_t i = 0; i < 2; ++i) {
        cd::form2_sector(s, lba + i);
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

// The sheet of a CD-format disc of two tracks, one a session, as published.
void write_two_sessions(const std::string& first_type)
{
    const std::string cue = "REM SESSION 01\r\nFILE \"Track 1.bin\" BINARY\r\n  TRACK 01 " + first_type +
                            "\r\n    INDEX 01 00:00:00\r\nREM SESSION 02\r\nFILE \"Track 2.bin\" BINARY\r\n"
                            "  TRACK 02 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    write_file("disc.cue", bytes(cue.begin(), cue.end()));
}

// Audio, then the data track of iso at start.
void audio_data_disc(const bytes& iso, std::uint32_t start)
{
    const std::size_t sectors = iso.size() / user;
    bytes audio;
    put_audio(audio, 302);
    write_file("Track 1.bin", audio);
    bytes data;
    put_data(data, start, iso.data(), sectors, iso.size(), 2);
    put_run_out(data, start + static_cast<std::uint32_t>(sectors));
    write_file("Track 2.bin", data);
    write_two_sessions("AUDIO");
}

// The whole of iso at 0, then its first sectors, to its volume descriptors' end, in a session of their own.
void data_data_disc(const bytes& iso)
{
    const std::size_t sectors = iso.size() / user;
    bytes first;
    put_data(first, 0, iso.data(), sectors, iso.size(), 2);
    put_run_out(first, static_cast<std::uint32_t>(sectors));
    write_file("Track 1.bin", first);
    std::size_t end = 16;
    while (end < sectors && iso[end * user] != 255) ++end;
    const auto second = static_cast<std::uint32_t>(sectors + 2 + session_gap);
    bytes last;
    put_data(last, second, iso.data(), 300, (end + 1) * user, 2);
    put_run_out(last, second + 300);
    write_file("Track 2.bin", last);
    write_two_sessions("MODE2/2352");
}

}  // namespace

int main(int argc, char** argv)
{
    const bool cooked = argc == 4 && std::strcmp(argv[3], "cooked") == 0;
    const bool hole = argc == 6 && std::strcmp(argv[3], "hole") == 0;
    const bool cd = argc == 5 && std::strcmp(argv[3], "cd") == 0;
    const bool data_data = argc == 4 && std::strcmp(argv[3], "datadata") == 0;
    if (argc != 3 && !cooked && !hole && !cd && !data_data) {
        std::fprintf(stderr, "usage: make_disc ISO DIR [cooked | hole START COUNT | cd START | datadata]\n");
        return 2;
    }
    const bytes iso = read_file(argv[1]);
    dir = argv[2];
    const std::size_t sectors = iso.size() / user;
    if (sectors < 20) {
        std::fprintf(stderr, "make_disc: can't read %s\n", argv[1]);
        return 1;
    }
    if (cd || data_data) {
        cd ? audio_data_disc(iso, static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10))) : data_data_disc(iso);
        return 0;
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
