// A DiscJuggler .cdi: the sectors of every track of every session one after
// another from the file's start (each track's pregap first, all in the
// track's stored form), then a descriptor of the sessions and tracks, found
// through the trailer in the file's last 8 bytes. A track's addresses come
// from the descriptor (its start, the pregap's first sector, plus the
// pregap); the gap between sessions is not stored. Little-endian throughout.
#include "disc.h"

#include "files.h"
#include "messages.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The trailer: the version, then where the descriptor starts (versions 2.0
// and 3.0: its offset; 3.5: its length, counted from the file's end).
constexpr int trailer_bytes = 8;
constexpr std::uint32_t version_2_0 = 0x80000004;
constexpr std::uint32_t version_3_0 = 0x80000005;
constexpr std::uint32_t version_3_5 = 0x80000006;
constexpr std::uint64_t max_descriptor_bytes = 1024 * 1024;

// A track block's fixed parts, and the flags that add to them.
constexpr std::uint8_t track_mark[10] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::size_t extra_bytes = 8;        // after a non-zero first word
constexpr std::size_t id_bytes = 4;           // an id of 3 bytes, the tracks on the disc
constexpr std::size_t after_name_bytes = 19;  // zeros and a 2
constexpr std::uint32_t medium_flag = 0x80000000;
constexpr std::size_t medium_bytes = 8;  // the disc's capacity and medium, after the flag
constexpr std::size_t cd_text_fields = 18;
constexpr std::size_t isrc_bytes = 12;
constexpr std::size_t version_3_bytes = 5;  // a zero and FF FF FF FF, before the extension's flag
constexpr std::uint32_t extension_flag = 0xFFFFFFFF;
constexpr std::size_t extension_bytes = 78;
// After a session's last track: its type, zeros, its first track's start; and a zero from 3.0 on.
constexpr std::size_t session_end_bytes = 12;
constexpr std::uint64_t max_count = 99;
constexpr std::uint32_t lead_in_frames = 150;

// The read modes: the bytes a stored sector has.
constexpr int stored_bytes[] = {block_bytes, mode2_sector_bytes, raw_sector_bytes};
constexpr int audio_mode = 0;

// Reads the descriptor's fields in order; past its end it reads zeros and remembers.
struct cursor {
    const std::vector<std::uint8_t>& data;
    std::size_t at = 0;
    bool past = false;

    bool skip(std::size_t n)
    {
        past = past || n > data.size() - at;
        at = past ? data.size() : at + n;
        return !past;
    }
    std::uint32_t number(int bytes)
    {
        const std::size_t from = at;
        if (!skip(static_cast<std::size_t>(bytes))) return 0;
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | data[from + static_cast<std::size_t>(i)];
        return v;
    }
    bool mark()
    {
        const std::size_t from = at;
        return skip(sizeof track_mark) && std::memcmp(&data[from], track_mark, sizeof track_mark) == 0;
    }
};

// A track as its block describes it.
struct cdi_track {
    std::uint32_t mode;
    std::uint32_t read_mode;
    std::uint32_t start;   // the address of its pregap's first sector, plus 150
    std::uint32_t pregap;  // sectors
    std::uint32_t length;  // sectors after the pregap
    std::uint32_t total;   // sectors stored
};

// One track block; false when it is not one (why then says, unless the cursor ran out).
bool read_track_block(cursor& c, std::uint32_t version, cdi_track& t)
{
    if (c.number(4) != 0) c.skip(extra_bytes);
    if (!c.mark() || !c.mark()) return false;
    c.skip(id_bytes);
    c.skip(c.number(1));  // the image's name when it was written
    c.skip(after_name_bytes);
    if (c.number(4) == medium_flag) c.skip(medium_bytes);
    const std::uint32_t indexes = c.number(2);
    if (indexes < 2 || indexes > max_count) return false;
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < indexes; ++i) {
        const std::uint32_t n = c.number(4);
        if (i == 0) t.pregap = n;
        sum += n;
    }
    const std::uint32_t cd_text = c.number(4);
    for (std::uint32_t b = 0; b < cd_text && !c.past; ++b)
        for (std::size_t f = 0; f < cd_text_fields; ++f) c.skip(c.number(1));
    c.skip(2);
    t.mode = c.number(4);
    c.skip(12);  // zeros, the session's and the track's numbers
    t.start = c.number(4);
    t.total = c.number(4);
    c.skip(16);
    t.read_mode = c.number(4);
    c.skip(4 + 1 + 4 + 4 + isrc_bytes + 4);  // control, the total again, the recording code
    if (version != version_2_0 && c.skip(version_3_bytes) && c.number(4) == extension_flag) c.skip(extension_bytes);
    t.length = static_cast<std::uint32_t>(sum - t.pregap);
    const bool negative = static_cast<std::int32_t>(t.length) <= 0;
    return sum == t.total && !negative && t.mode <= 2;
}

// The track as the table holds it: its sectors after the pregap, where the
// file stores them from at on; false, with why, when it is stored in a form
// this program does not read or runs past the sectors' end.
bool add_track(const cdi_track& t, int number, const std::string& path, std::uint64_t& at, std::uint64_t end,
               disc_image& image, std::string& why)
{
    const std::string track = "track " + std::to_string(number);
    if (t.read_mode >= std::size(stored_bytes)) {
        why = track + " is stored in read mode " + std::to_string(t.read_mode) + ", which this program does not read";
        return false;
    }
    const int size = stored_bytes[t.read_mode];
    if (t.mode == 1 && size == mode2_sector_bytes) {
        why = track + " is stored as mode 1 in sectors of 2336 bytes, which this program does not read";
        return false;
    }
    const std::uint64_t bytes = std::uint64_t{t.total} * static_cast<std::uint64_t>(size);
    if (bytes > end - at) {
        why = track + " runs past the end of the file";
        return false;
    }
    const std::uint64_t first = std::uint64_t{t.start} + t.pregap - lead_in_frames;
    if (std::uint64_t{t.start} + t.pregap < lead_in_frames || first + t.length > UINT32_MAX) {
        why = "its descriptor is damaged";
        return false;
    }
    image.tracks.push_back({number, static_cast<std::uint32_t>(first), t.length, size, t.mode != audio_mode, path,
                            at + std::uint64_t{t.pregap} * static_cast<std::uint64_t>(size)});
    at += bytes;
    return true;
}

// The descriptor: where it starts, and its bytes; false, with why, when the trailer can't say.
bool read_descriptor(std::FILE* f, std::uint64_t size, std::uint32_t& version, std::vector<std::uint8_t>& data,
                     std::uint64_t& start, std::string& why)
{
    std::uint8_t trailer[trailer_bytes];
    if (size < trailer_bytes || !seek_file(f, size - trailer_bytes) ||
        std::fread(trailer, 1, sizeof trailer, f) != sizeof trailer) {
        why = "too short for a DiscJuggler image";
        return false;
    }
    version = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | std::uint32_t{trailer[3]} << 24;
    const std::uint32_t place = trailer[4] | trailer[5] << 8 | trailer[6] << 16 | std::uint32_t{trailer[7]} << 24;
    if (version != version_2_0 && version != version_3_0 && version != version_3_5) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(version));
        why = std::string("a DiscJuggler image of a version this program doesn't know (") + text + ")";
        return false;
    }
    start = version == version_3_5 ? size - place : place;
    if (place == 0 || place > size || start >= size - trailer_bytes) {
        why = "its trailer points outside the file";
        return false;
    }
    data.resize(static_cast<std::size_t>(std::min(size - trailer_bytes - start, max_descriptor_bytes)));
    if (!seek_file(f, start) || std::fread(data.data(), 1, data.size(), f) != data.size()) {
        why = error_text(errno);
        return false;
    }
    return true;
}

}  // namespace

bool place_cdi(const std::string& path, std::uint64_t size, disc_image& image, std::string& why)
{
    owned_file f(path.c_str(), "rb", false);
    if (!f) {
        why = error_text(f.open_error());
        return false;
    }
    std::uint32_t version = 0;
    std::vector<std::uint8_t> data;
    std::uint64_t end = 0;  // where the sectors end and the descriptor starts
    if (!read_descriptor(f.get(), size, version, data, end, why)) return false;
    cursor c{data};
    std::uint64_t at = 0;
    const std::uint32_t sessions = c.number(2);
    if (sessions == 0 || sessions > max_count) {
        why = c.past ? "its descriptor is cut short" : "its descriptor is damaged";
        return false;
    }
    for (std::uint32_t s = 0; s < sessions; ++s) {
        const std::uint32_t tracks = c.number(2);
        for (std::uint32_t k = 0; k < tracks; ++k) {
            cdi_track t{};
            const int number = static_cast<int>(image.tracks.size()) + 1;
            if (tracks > max_count || number > static_cast<int>(max_count) || !read_track_block(c, version, t)) {
                why = c.past ? "its descriptor is cut short" : "its descriptor is damaged";
                return false;
            }
            if (!add_track(t, number, path, at, end, image, why)) return false;
        }
        c.skip(session_end_bytes + (version == version_2_0 ? 0 : 1));
        if (c.past) {
            why = "its descriptor is cut short";
            return false;
        }
    }
    return true;
}
