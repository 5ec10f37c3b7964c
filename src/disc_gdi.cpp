// The .gdi descriptor: the number of tracks, then a line a track: its number,
// the address of its first sector, its type (4 data, 0 audio), its sector
// size (2352 raw or 2048 user data alone), its file (quoted when it holds
// blanks) and the byte offset where the track starts in the file. The order
// of the tracks' sectors is checked once their raw sectors have placed them.
#include "disc.h"

#include <string>

namespace {

constexpr std::uint64_t max_tracks = 99;
constexpr int data_type = 4;
constexpr int audio_type = 0;
// The last address of a GD-ROM's high-density area.
constexpr std::uint64_t max_address = 549149;

bool is_blank(std::string_view line)
{
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

// One track line into track; false when it is not one.
bool read_track_line(std::string_view line, disc_track& track)
{
    std::string_view fields[6];
    for (std::string_view& field : fields)
        if (!next_field(line, field)) return false;
    std::string_view extra;
    std::uint64_t number = 0, first = 0, type = 0, size = 0, offset = 0;
    if (next_field(line, extra) || !parse_number(fields[0], max_tracks, number) ||
        !parse_number(fields[1], max_address, first) || !parse_number(fields[2], data_type, type) ||
        !parse_number(fields[3], raw_sector_bytes, size) || !parse_number(fields[5], UINT64_MAX, offset))
        return false;
    const bool data = type == data_type;
    if ((!data && type != audio_type) || (size != raw_sector_bytes && (size != block_bytes || !data)) ||
        fields[4].empty())
        return false;
    track = {static_cast<int>(number),
             static_cast<std::uint32_t>(first),
             0,
             static_cast<int>(size),
             data,
             file_name(fields[4]),
             offset};
    return true;
}

}  // namespace

bool parse_gdi(std::string_view text, const file_size_of& size_of, disc_image& image, std::string& why)
{
    const std::vector<std::string_view> lines = descriptor_lines(text);
    std::size_t at = 0;
    while (at < lines.size() && is_blank(lines[at])) ++at;
    std::uint64_t count = 0;
    std::string_view field;
    std::string_view first_line = at < lines.size() ? lines[at] : std::string_view();
    std::string_view rest = first_line;
    if (!next_field(rest, field) || !parse_number(field, max_tracks, count) || count == 0 || next_field(rest, field)) {
        why = line_error(at + 1, first_line, "not the number of tracks (1 to 99)");
        return false;
    }
    image.tracks.clear();
    std::string missing;  // the reasons of the track files that are missing
    for (++at; at < lines.size(); ++at) {
        if (is_blank(lines[at])) continue;
        disc_track track{};
        if (image.tracks.size() == count) {
            why = line_error(at + 1, lines[at], "a line after the last track");
            return false;
        }
        if (!read_track_line(lines[at], track)) {
            why = line_error(at + 1, lines[at],
                             "not a track (number, first sector, type 4 or 0, sector size 2352 or 2048, file, offset)");
            return false;
        }
        if (track.number != static_cast<int>(image.tracks.size()) + 1) {
            why = line_error(at + 1, lines[at], "not the next track");
            return false;
        }
        std::uint64_t bytes = 0;
        std::string reason;
        if (!size_of(track.file, bytes, reason)) {  // each missing file is named, once
            if (missing.find(reason) == std::string::npos) missing += (missing.empty() ? "" : "; ") + reason;
            image.tracks.push_back(track);
            continue;
        }
        if (track.offset > bytes) {
            why = track.file + ": shorter than its offset " + std::to_string(track.offset);
            return false;
        }
        // A file cut short holds the sectors that are whole.
        track.count = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            (bytes - track.offset) / static_cast<std::uint64_t>(track.sector_bytes), max_address + 1 - track.first));
        image.tracks.push_back(track);
    }
    if (!missing.empty()) {
        why = missing;
        return false;
    }
    if (image.tracks.size() != count) {
        why = "the descriptor lists " + std::to_string(image.tracks.size()) + " of its " + std::to_string(count) +
              " tracks";
        return false;
    }
    return true;
}
