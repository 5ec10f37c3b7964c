// The container of a CHD, version 5: its header (the codecs of its hunks,
// the sizes of its hunks and units, where its map and metadata lie) and the
// chain of its metadata, whose track entries describe the disc: a CD's (CHT2,
// or the older CHTR) or a GD-ROM's (CHGD, or the older CHGT), as text of
// KEY:VALUE fields. The map is chd_map.cpp's.
#include "chd.h"

#include "disc.h"
#include "platform.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

constexpr int header_bytes = 124;
constexpr int length_field = 8;
constexpr int version_field = 12;
constexpr int codecs_field = 16;
constexpr int logical_field = 32;
constexpr int map_field = 40;
constexpr int metadata_field = 48;
constexpr int hunk_bytes_field = 56;
constexpr int unit_bytes_field = 60;
constexpr int parent_sha1_field = 104;
constexpr std::uint32_t max_hunk_bytes = 1024 * 1024;
// The header lengths of versions 1 to 4, which name them as surely as their number.
constexpr std::uint64_t older_header_bytes[] = {76, 80, 120, 108};

// Reads the header; false, with why, for a file that is not a CHD of version 5 this program reads.
bool read_header(std::FILE* f, const std::string& path, std::uint64_t size, chd_layout& chd, std::uint64_t& map,
                 std::uint64_t& metadata, std::string& why)
{
    std::uint8_t h[header_bytes];
    if (std::fread(h, 1, sizeof h, f) != sizeof h || std::memcmp(h, "MComprHD", 8) != 0) {
        why = "not a CHD";
        return false;
    }
    const auto version = get_be(h + version_field, 4);
    const auto length = get_be(h + length_field, 4);
    if (version >= 1 && version < 5 && length == older_header_bytes[version - 1]) {
        why = "a CHD of version " + std::to_string(version) + "; \"chdman copy -i " + path +
              " -o NEW.chd\" makes a version 5 of it";
        return false;
    }
    if (version != 5 || length != header_bytes) {
        why = "a CHD of version " + std::to_string(version) + "; this program reads version 5";
        return false;
    }
    if (std::any_of(h + parent_sha1_field, h + parent_sha1_field + 20, [](std::uint8_t b) { return b != 0; })) {
        why = "needs its parent CHD, which this program does not read";
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        chd.codecs[i] = static_cast<std::uint32_t>(get_be(h + codecs_field + 4 * i, 4));
        const std::uint32_t c = chd.codecs[i];
        if (c != 0 && !is_known_codec(c)) {
            why = "compressed with " + codec_name(c) + ", which this program can't read";
            return false;
        }
    }
    chd.logical = get_be(h + logical_field, 8);
    map = get_be(h + map_field, 8);
    metadata = get_be(h + metadata_field, 8);
    chd.hunk_bytes = static_cast<std::uint32_t>(get_be(h + hunk_bytes_field, 4));
    if (get_be(h + unit_bytes_field, 4) != chd_frame_bytes || chd.hunk_bytes == 0 ||
        chd.hunk_bytes % chd_frame_bytes != 0 || chd.hunk_bytes > max_hunk_bytes) {
        why = "not a CHD of a CD or GD-ROM (hunks of " + std::to_string(chd.hunk_bytes) + " bytes)";
        return false;
    }
    chd.frames_per_hunk = chd.hunk_bytes / chd_frame_bytes;
    const std::uint64_t hunks = (chd.logical + chd.hunk_bytes - 1) / chd.hunk_bytes;
    if (hunks == 0 || hunks > (std::uint64_t{1} << 24) || map >= size) {
        why = "its map lies outside the file";
        return false;
    }
    chd.hunks.resize(static_cast<std::size_t>(hunks));
    return true;
}

// "KEY:VALUE" of a metadata text; empty when the key is missing.
std::string field_of(const std::string& text, const std::string& key)
{
    std::size_t at = 0;
    while ((at = text.find(key + ":", at)) != std::string::npos) {
        if (at == 0 || text[at - 1] == ' ') {
            const std::size_t start = at + key.size() + 1;
            return text.substr(start, text.find(' ', start) - start);
        }
        at += key.size();
    }
    return "";
}

bool number_field(const std::string& text, const std::string& key, std::uint32_t max, std::uint32_t& value)
{
    std::uint64_t v = 0;
    const std::string f = field_of(text, key);
    if (f.empty()) {
        value = 0;
        return key == "PAD" || key == "PREGAP" || key == "POSTGAP";  // absent from the older forms
    }
    if (!parse_number(f, max, v)) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// The track entries of the metadata chain: a CD's (CHT2, or the older CHTR) or a GD-ROM's (CHGD, or the older CHGT).
bool read_tracks(std::FILE* f, std::uint64_t size, std::uint64_t at, std::vector<chd_track>& tracks, std::string& why)
{
    constexpr int entry_header = 16;
    constexpr std::uint32_t max_entry = 4096;
    std::set<std::uint64_t> seen;
    for (int entries = 0; at != 0; ++entries) {
        std::uint8_t h[entry_header];
        if (entries > 1000 || !seen.insert(at).second || at + entry_header > size || !seek_file(f, at) ||
            std::fread(h, 1, sizeof h, f) != sizeof h) {
            why = "its metadata points outside the file";
            return false;
        }
        const auto tag = static_cast<std::uint32_t>(get_be(h, 4));
        const auto length = static_cast<std::uint32_t>(get_be(h + 5, 3));
        const std::uint64_t next = get_be(h + 8, 8);
        if (tag == fourcc("CHCD")) {
            why = "its tracks are described in the binary CHCD form, which this program does not read";
            return false;
        }
        if (tag == fourcc("CHGD") || tag == fourcc("CHGT") || tag == fourcc("CHT2") || tag == fourcc("CHTR")) {
            std::string text(std::min(length, max_entry), '\0');
            if (at + entry_header + length > size || std::fread(text.data(), 1, text.size(), f) != text.size()) {
                why = "its metadata points outside the file";
                return false;
            }
            text.resize(std::min(text.size(), text.find('\0')));
            chd_track t{};
            std::uint64_t number = 0;
            const std::string pgtype = field_of(text, "PGTYPE");
            if (!parse_number(field_of(text, "TRACK"), 99, number) || !number_field(text, "FRAMES", 600000, t.frames) ||
                !number_field(text, "PAD", 600000, t.pad) || !number_field(text, "PREGAP", 600000, t.pregap) ||
                !number_field(text, "POSTGAP", 600000, t.postgap) ||
                static_cast<int>(number) != static_cast<int>(tracks.size()) + 1 || t.pad > t.frames) {
                why = "its track metadata is damaged: \"" + text.substr(0, 80) + "\"";
                return false;
            }
            t.number = static_cast<int>(number);
            t.type = field_of(text, "TYPE");
            t.pregap_stored = !pgtype.empty() && pgtype[0] == 'V' && t.pregap <= t.frames - t.pad;
            tracks.push_back(t);
        }
        at = next;
    }
    return true;
}

}  // namespace

bool read_chd(std::FILE* f, const std::string& path, std::uint64_t size, chd_layout& chd,
              std::vector<chd_track>& tracks, std::string& why)
{
    std::uint64_t map = 0, metadata = 0;
    return read_header(f, path, size, chd, map, metadata, why) && read_tracks(f, size, metadata, tracks, why) &&
           (chd.codecs[0] == 0 ? read_plain_map : read_map)(f, size, map, chd, why);
}
