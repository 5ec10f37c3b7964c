// The ISO 9660 file system of a disc: its primary volume descriptor, its
// directory records, and the walk of its folders, depth first as they are
// recorded, bounded against damaged images. Addresses are the disc's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A directory record.
struct iso_record {
    std::string name;  // without its version (";1") or a trailing dot; empty for "." and ".."
    std::uint32_t extent;
    std::uint32_t bytes;
    bool folder;
};

// Reads the 2048 user bytes of a sector of the disc; false, with why, when it can't.
using block_reader = std::function<bool(std::uint32_t lba, std::uint8_t* block, std::string& why)>;
// Sectors of the data track from lba to its end: 0 when lba lies in no data track.
using track_room = std::function<std::uint32_t(std::uint32_t lba)>;

// The root directory's record, from the primary volume descriptor among the
// descriptors from sector first on; false, with why, when there is none.
bool find_root(const block_reader& read, std::uint32_t first, iso_record& root, std::string& why);

// The first record of a directory's block ("." of its first block); false when it is damaged.
bool read_first_record(const std::uint8_t* block, iso_record& record);

// A file or folder of the disc: its path from the root, with '/'.
struct disc_entry {
    std::string path;
    std::uint32_t extent;
    std::uint32_t bytes;
    bool folder;
    bool outside;  // a file that starts outside the data tracks: none of it can be read
};

// Every file and folder under the root, depth first as recorded; a file
// that starts outside the data tracks is listed as outside. Fails, with why,
// at a folder that does not lie in a data track whole, a record that runs
// past its sector, folders that nest deeper than 8 or loop, a name that no
// file can have, or more entries or a larger folder than any disc holds.
bool walk_disc(const block_reader& read, const track_room& room, const iso_record& root,
               std::vector<disc_entry>& entries, std::string& why);
