// The disc layer's common part: which descriptor an image has, the sizes of
// its track files, the placing of raw data tracks by their sector headers,
// and the reading of sectors through the track table, each raw sector's
// header checked against the address it is read at.
#include "disc.h"

#include "chd.h"
#include "messages.h"
#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// Offsets in a raw sector: the sync pattern, the address (minute, second,
// frame in BCD), the mode, and where the user data of each data mode starts.
constexpr std::uint8_t sync_pattern[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr int address_field = 12;
constexpr int mode_field = 15;
constexpr int submode_field = 18;  // mode 2: the subheader's submode
constexpr int form2_flag = 0x20;   // in the submode: form 2, whose user data is not 2048 bytes
constexpr int mode1_data = 16;
constexpr int mode2_form1_data = 24;
// In a mode 2 sector stored without sync and header: the submode, the data.
constexpr int stored_submode_field = submode_field - mode1_data;
constexpr int stored_mode2_data = mode2_form1_data - mode1_data;
// Sectors a second, and the two seconds before sector 0 that addresses count.
constexpr std::uint32_t frames_per_second = 75;
constexpr std::uint32_t lead_in_frames = 150;
// Descriptors larger than this are no descriptors.
constexpr std::uintmax_t max_descriptor_bytes = 64 * 1024;
// A raw data track is placed by the headers of its first sectors: so many
// agreeing, among so many.
constexpr int placement_votes = 4;
constexpr std::uint32_t placement_scan = 1000;
// The highest tens digit of a header's minute: 12, on a GD-ROM's outer sectors.
constexpr int max_minute_tens = 12;

bool ends_with(std::string_view text, std::string_view tail)
{
    return text.size() >= tail.size() &&
           std::equal(tail.begin(), tail.end(), text.end() - static_cast<long>(tail.size()),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// A BCD byte's value, its tens digit up to max_tens; -1 when it is no such byte.
int bcd(std::uint8_t b, int max_tens = 9)
{
    return (b >> 4) <= max_tens && (b & 15) < 10 ? (b >> 4) * 10 + (b & 15) : -1;
}

// The folder of path with its separator ("" for a name alone), where the
// files that a descriptor names are.
std::string folder_of(const std::string& path)
{
    std::size_t end = path.size();
    while (end > 0 && !is_path_separator(path[end - 1])) --end;
    return path.substr(0, end);
}

// The size of a regular file; false, with the reason, when there is none at path.
bool size_of_file(const std::string& path, std::uint64_t& size, std::string& why)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!error && std::filesystem::is_directory(status)) error = std::make_error_code(std::errc::is_a_directory);
    if (!error && !std::filesystem::is_regular_file(status)) error = std::make_error_code(std::errc::invalid_argument);
    if (!error) size = std::filesystem::file_size(path, error);
    if (error) why = error_text(error.value());
    return !error;
}

// The whole descriptor; false, with why, when it can't be read or is too large to be one.
bool read_descriptor(const std::string& path, std::string& text, std::string& why)
{
    std::uint64_t size = 0;
    if (!size_of_file(path, size, why)) return false;
    if (size > max_descriptor_bytes) {
        why = "too large for a disc descriptor";
        return false;
    }
    owned_file f(path.c_str(), "rb");
    if (!f) {
        why = error_text(f.open_error());
        return false;
    }
    text.resize(static_cast<std::size_t>(size));
    if (std::fread(text.data(), 1, text.size(), f.get()) != text.size()) {
        why = error_text(errno);
        return false;
    }
    return true;
}

// The first sector of a raw data track as its sector headers give it: the
// first four stored sectors that have a header must agree on it (each one's
// address less its place in the track); none is looked for past the first
// placement_scan sectors. Else the descriptor's first stands.
std::uint32_t header_start(const disc_track& track, const stored_reader& read)
{
    std::uint32_t start = 0;
    int votes = 0;
    for (std::uint32_t k = 0; k < std::min(track.count, placement_scan) && votes < placement_votes; ++k) {
        const std::uint8_t* sector = nullptr;
        std::uint32_t lba = 0;
        if (!read(track, k, sector)) break;
        if (!sector_address(sector, lba)) continue;
        if (lba < k || (votes > 0 && lba - k != start)) return track.first;
        start = lba - k;
        ++votes;
    }
    return votes == placement_votes ? start : track.first;
}

}  // namespace

bool is_disc_image_name(std::string_view path)
{
    return ends_with(path, ".gdi") || ends_with(path, ".cue") || ends_with(path, ".iso") || ends_with(path, ".chd") ||
           ends_with(path, ".cdi");
}

const disc_track* data_track_of(const disc_image& image, std::uint32_t lba)
{
    for (const disc_track& t : image.tracks) {
        if (t.data && lba >= t.first && lba - t.first < t.count) return &t;
    }
    return nullptr;
}

bool sector_address(const std::uint8_t* raw, std::uint32_t& lba)
{
    constexpr std::uint8_t no_sync[sizeof sync_pattern] = {};
    if (std::memcmp(raw, sync_pattern, sizeof sync_pattern) != 0 && std::memcmp(raw, no_sync, sizeof no_sync) != 0)
        return false;
    const int m = bcd(raw[address_field], max_minute_tens), s = bcd(raw[address_field + 1]),
              f = bcd(raw[address_field + 2]);
    if ((raw[mode_field] != 1 && raw[mode_field] != 2) || m < 0 || s < 0 || f < 0 || s >= 60 ||
        f >= static_cast<int>(frames_per_second))
        return false;
    const auto frames = (static_cast<std::uint32_t>(m) * 60 + static_cast<std::uint32_t>(s)) * frames_per_second +
                        static_cast<std::uint32_t>(f);
    if (frames < lead_in_frames) return false;
    lba = frames - lead_in_frames;
    return true;
}

bool settle_tracks(disc_image& image, const stored_reader& read, std::string& why)
{
    for (disc_track& t : image.tracks) {
        if (!read || !t.data || t.sector_bytes != raw_sector_bytes) continue;
        t.first = header_start(t, read);
        t.count = std::min(t.count, UINT32_MAX - t.first);
    }
    const disc_track* before = nullptr;
    for (const disc_track& t : image.tracks) {
        if (!t.data) continue;
        if (before != nullptr && t.first <= before->first) {
            why =
                t.file + ": track " + std::to_string(t.number) + " lies before track " + std::to_string(before->number);
            return false;
        }
        if (before != nullptr && t.first < std::uint64_t{before->first} + before->count) {
            why = before->file + ": track " + std::to_string(before->number) + " runs into track " +
                  std::to_string(t.number);
            return false;
        }
        before = &t;
    }
    if (before == nullptr) {
        why = "it holds no data track";
        return false;
    }
    // A GD-ROM's file system is its high-density area's, whose files may lie
    // in a later track; a CD's, its last data track's (a CD-format disc's:
    // its last session's), whose files may lie in any data track.
    const bool gd_rom = std::any_of(image.tracks.begin(), image.tracks.end(),
                                    [](const disc_track& t) { return t.data && t.first == high_density_start; });
    image.volume_start = gd_rom ? high_density_start : before->first;
    return true;
}

bool open_disc_image(const std::string& path, disc_image& image, std::string& why)
{
    image = disc_image{};
    image.path = path;
    const std::string folder = folder_of(path);
    const file_size_of size_of = [&folder](const std::string& name, std::uint64_t& size, std::string& reason) {
        if (size_of_file(folder + name, size, reason)) return true;
        reason = name + ": " + reason;
        return false;
    };
    const bool descriptor = ends_with(path, ".gdi") || ends_with(path, ".cue");
    std::uint64_t size = 0;
    std::string text;
    if (descriptor ? !read_descriptor(path, text, why) : !size_of_file(path, size, why)) return false;
    if (ends_with(path, ".iso")) {
        owned_file f(path.c_str(), "rb");
        const auto read_sector = [&f](std::uint32_t sector, std::uint8_t* block) {
            return f && seek_file(f.get(), std::uint64_t{sector} * block_bytes) &&
                   std::fread(block, 1, block_bytes, f.get()) == static_cast<std::size_t>(block_bytes);
        };
        return place_iso(path, size, read_sector, image, why);
    }
    // A .cdi's addresses are its descriptor's: its sector headers only check them, as they are read.
    if (ends_with(path, ".cdi")) return place_cdi(path, size, image, why) && settle_tracks(image, nullptr, why);
    if (descriptor) {
        if (!(ends_with(path, ".gdi") ? parse_gdi : parse_cue)(text, size_of, image, why)) return false;
        for (disc_track& t : image.tracks) t.file = folder + t.file;
    } else if (!place_chd(path, size, image, why)) {
        return false;
    }
    disc_reader reader(image);
    const stored_reader read = [&reader](const disc_track& track, std::uint32_t k, const std::uint8_t*& sector) {
        std::string ignored;
        return reader.read_stored(track, k, sector, ignored);
    };
    return settle_tracks(image, read, why);
}

std::vector<std::string_view> descriptor_lines(std::string_view text)
{
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (text.substr(0, bom.size()) == bom) text.remove_prefix(bom.size());
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

bool next_field(std::string_view& line, std::string_view& field)
{
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return false;
    line.remove_prefix(start);
    const char quote = line[0];
    if (quote == '"' || quote == '\'') {
        const std::size_t close = line.find(quote, 1);
        if (close == std::string_view::npos) return false;
        field = line.substr(1, close - 1);
        line.remove_prefix(close + 1);
        return true;
    }
    const std::size_t end = std::min(line.find_first_of(" \t"), line.size());
    field = line.substr(0, end);
    line.remove_prefix(end);
    return true;
}

bool parse_number(std::string_view text, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= max;
}

std::string file_name(std::string_view field)
{
    std::string name(field);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::string line_error(std::size_t number, std::string_view line, const std::string& reason)
{
    constexpr std::size_t shown = 80;
    std::string text;
    for (const char c : line.substr(0, shown)) text += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    if (line.size() > shown) text += "...";
    return "line " + std::to_string(number) + ": " + reason + ": \"" + text + "\"";
}

std::uint32_t data_sectors_from(const disc_image& image, std::uint32_t lba)
{
    const disc_track* track = data_track_of(image, lba);
    return track != nullptr ? track->count - (lba - track->first) : 0;
}

bool list_disc_files(const disc_image& image, std::vector<disc_entry>& entries, std::string& why)
{
    const std::uint32_t volume = image.volume_start + volume_descriptor_sector;
    if (data_track_of(image, volume) == nullptr) {
        why = "no data track holds sector " + std::to_string(volume) + ", where the file system starts";
        return false;
    }
    disc_reader reader(image);
    const block_reader read = [&reader](std::uint32_t lba, std::uint8_t* block, std::string& reason) {
        return reader.read(lba, block, reason);
    };
    const track_room room = [&image](std::uint32_t lba) { return data_sectors_from(image, lba); };
    iso_record root{};
    return find_root(read, volume, root, why) && walk_disc(read, room, root, entries, why);
}

disc_reader::disc_reader(const disc_image& image) : image_(image), files_(image.tracks.size()) {}

disc_reader::~disc_reader() = default;

bool disc_reader::read_stored(const disc_track& track, std::uint32_t k, const std::uint8_t*& sector, std::string& why)
{
    if (image_.chd != nullptr) {
        if (chd_ == nullptr) chd_ = std::make_unique<chd_reader>(image_.path, *image_.chd);
        std::uint8_t* stored = nullptr;
        if (!chd_->read_frame(static_cast<std::uint32_t>(track.offset + k), stored, why)) return false;
        sector = stored;
        return true;
    }
    open_track& t = files_[static_cast<std::size_t>(&track - image_.tracks.data())];
    if (!t.file && !t.file.open(track.file.c_str(), "rb")) {
        why = track.file + ": " + error_text(t.file.open_error());
        return false;
    }
    const auto size = static_cast<std::size_t>(track.sector_bytes);
    const std::uint64_t at = track.offset + std::uint64_t{k} * size;
    if (at != t.at && !seek_file(t.file.get(), at)) {
        why = track.file + ": " + error_text(errno);
        return false;
    }
    const std::size_t got = std::fread(raw_, 1, size, t.file.get());
    t.at = at + got;
    if (got != size) {
        why = std::ferror(t.file.get()) != 0 ? track.file + ": " + error_text(errno)
                                             : "the image ends before sector " + std::to_string(track.first + k);
        t.at = ~std::uint64_t{0};  // seek again
        return false;
    }
    sector = raw_;
    return true;
}

bool disc_reader::read(std::uint32_t lba, std::uint8_t* block, std::string& why)
{
    const disc_track* track = data_track_of(image_, lba);
    if (track == nullptr) {
        why = "sector " + std::to_string(lba) + " lies in no data track of the image";
        return false;
    }
    const std::uint8_t* sector = nullptr;
    if (!read_stored(*track, lba - track->first, sector, why)) return false;
    // The mode, the submode of a mode 2 sector, and where the user data starts.
    int mode = 1, submode = 0, data = 0;
    if (track->sector_bytes == raw_sector_bytes) {
        std::uint32_t said = 0;
        if (sector_address(sector, said) && said != lba) {
            why = "the sector read as " + std::to_string(lba) + " says it is " + std::to_string(said);
            return false;
        }
        mode = sector[mode_field];
        submode = sector[submode_field];
        data = mode == 1 ? mode1_data : mode2_form1_data;
    } else if (track->sector_bytes == mode2_sector_bytes) {
        mode = 2;
        submode = sector[stored_submode_field];
        data = stored_mode2_data;
    }
    if (mode != 1 && (mode != 2 || (submode & form2_flag) != 0)) {
        why = "sector " + std::to_string(lba) + " of the image is no data sector (mode " + std::to_string(mode) +
              (mode == 2 ? " form 2)" : ")");
        return false;
    }
    std::memcpy(block, sector + data, block_bytes);
    return true;
}

bool disc_reader::holds(const char* path) const
{
    return std::any_of(image_.tracks.begin(), image_.tracks.end(), [path](const disc_track& t) {
        std::error_code error;
        return std::filesystem::equivalent(t.file, path, error);
    });
}
