#include "iso9660.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

constexpr int block_size = 2048;

// Volume descriptors: type, "CD001", version; the primary one's logical
// block size and root directory record.
constexpr int primary_type = 1;
constexpr int terminator_type = 255;
constexpr int block_size_field = 128;
constexpr int root_record_field = 156;
constexpr std::uint32_t max_descriptors = 32;

// Directory record fields; numbers are stored twice, little-endian then big-endian.
constexpr int min_record = 34;
constexpr int extent_field = 2;
constexpr int length_field = 10;
constexpr int flags_field = 25;
constexpr int folder_flag = 0x02;
constexpr int name_length_field = 32;
constexpr int name_field = 33;

// Bounds against damaged images.
constexpr int max_depth = 8;
constexpr std::uint32_t max_folder_bytes = 1024 * 1024;
constexpr std::size_t max_entries = 65536;

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[0]} << 24;
}

// Both copies of a number; false when they differ.
bool both_endian(const std::uint8_t* p, std::uint32_t& value)
{
    value = le32(p);
    return value == be32(p + 4);
}

// A name that a file can have on any system that the program writes to.
bool is_file_name(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\' || c == ':';
    });
}

// The record at p, with room bytes left in its block; false when it is damaged.
bool parse_record(const std::uint8_t* p, int room, iso_record& record)
{
    const int length = p[0];
    const int name_length = p[name_length_field];
    if (length < min_record || length > room || name_length == 0 || name_field + name_length > length) return false;
    if (!both_endian(p + extent_field, record.extent) || !both_endian(p + length_field, record.bytes)) return false;
    record.folder = (p[flags_field] & folder_flag) != 0;
    const char* name = reinterpret_cast<const char*>(p + name_field);
    if (name_length == 1 && (name[0] == 0 || name[0] == 1)) {  // "." and ".."
        record.name.clear();
        return true;
    }
    record.name.assign(name, static_cast<std::size_t>(name_length));
    record.name.resize(std::min(record.name.size(), record.name.find(';')));  // the version
    if (!record.folder && !record.name.empty() && record.name.back() == '.') record.name.pop_back();
    return is_file_name(record.name);
}

// The walk's state: what it reads with, what it found, the folders seen.
struct walk {
    const block_reader& read;
    const track_room& room;
    std::vector<disc_entry>& entries;
    std::string& why;
    std::set<std::uint32_t> seen;
};

bool fail(walk& w, const std::string& reason)
{
    w.why = reason;
    return false;
}

bool walk_folder(walk& w, const iso_record& folder, const std::string& path, int depth)
{
    const std::string shown = path.empty() ? "the root folder" : "the folder " + path;
    if (depth > max_depth) return fail(w, shown + " nests deeper than " + std::to_string(max_depth));
    if (!w.seen.insert(folder.extent).second) return fail(w, shown + " is a folder met before: folders loop");
    if (folder.bytes > max_folder_bytes) return fail(w, shown + " is larger than any folder of a disc");
    const std::uint32_t blocks = (folder.bytes + block_size - 1) / block_size;
    if (w.room(folder.extent) < blocks) return fail(w, shown + " lies outside the data tracks");
    std::uint8_t block[block_size];
    for (std::uint32_t b = 0; b < blocks; ++b) {
        if (!w.read(folder.extent + b, block, w.why)) return false;
        const int used = static_cast<int>(std::min<std::uint32_t>(block_size, folder.bytes - b * block_size));
        for (int at = 0; at < used && block[at] != 0;) {  // a length of 0 pads the block's end
            iso_record record{};
            if (!parse_record(block + at, used - at, record))
                return fail(w, "a record of " + shown + " is damaged or runs past its sector");
            at += block[at];
            if (record.name.empty()) continue;
            const std::string entry = path.empty() ? record.name : path + "/" + record.name;
            const bool outside = record.bytes > 0 && w.room(record.extent) == 0;
            if (outside && record.folder) return fail(w, "the folder " + entry + " lies outside the data tracks");
            if (w.entries.size() == max_entries) return fail(w, "more files than any disc holds");
            w.entries.push_back({entry, record.extent, record.bytes, record.folder, outside});
            if (record.folder && !walk_folder(w, record, entry, depth + 1)) return false;
        }
    }
    return true;
}

}  // namespace

bool read_first_record(const std::uint8_t* block, iso_record& record)
{
    return parse_record(block, block_size, record);
}

bool find_root(const block_reader& read, std::uint32_t first, iso_record& root, std::string& why)
{
    std::uint8_t block[block_size];
    for (std::uint32_t lba = first; lba < first + max_descriptors; ++lba) {
        if (!read(lba, block, why)) return false;
        if (std::memcmp(block + 1, "CD001", 5) != 0 || block[0] == terminator_type) break;
        if (block[0] != primary_type) continue;
        const int size = block[block_size_field] | block[block_size_field + 1] << 8;
        if (size != block_size || !parse_record(block + root_record_field, min_record, root) || !root.folder) {
            why = "the volume descriptor at sector " + std::to_string(lba) + " is damaged";
            return false;
        }
        return true;
    }
    why = "no ISO 9660 volume descriptor at sector " + std::to_string(first);
    return false;
}

bool walk_disc(const block_reader& read, const track_room& room, const iso_record& root,
               std::vector<disc_entry>& entries, std::string& why)
{
    walk w{read, room, entries, why, {}};
    entries.clear();
    return walk_folder(w, root, "", 1);
}
