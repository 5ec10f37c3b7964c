// The disc layer: a disc image (.gdi, .cue, .iso, .chd, .cdi) as a table of tracks,
// each a run of sectors in a file, and the reading of a sector's 2048 user
// bytes by its address on the disc. One file a format reads its descriptor
// into the table (disc_gdi.cpp, disc_cue.cpp, disc_iso.cpp, disc_chd.cpp,
// disc_cdi.cpp);
// disc.cpp places its raw data tracks by their sector headers and reads
// sectors through it; iso9660.cpp walks the file system on top.
#pragma once

#include "files.h"
#include "iso9660.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Bytes of a sector's user data, of a raw sector as a CD stores it, and of a
// mode 2 sector without its sync and header (its subheader, then its data).
constexpr int block_bytes = 2048;
constexpr int raw_sector_bytes = 2352;
constexpr int mode2_sector_bytes = 2336;
// The address of a GD-ROM's high-density area, whose file system the console reads.
constexpr std::uint32_t high_density_start = 45000;
// The volume descriptors of an ISO 9660 file system start at sector 16 of its data area.
constexpr std::uint32_t volume_descriptor_sector = 16;

// A track: sectors first to first + count - 1 of the disc, stored one after
// another in a file from a byte offset on; in a CHD, in its frames from the
// frame that offset gives on.
struct disc_track {
    int number;
    std::uint32_t first;
    std::uint32_t count;
    int sector_bytes;  // block_bytes (user data alone), mode2_sector_bytes or raw_sector_bytes
    bool data;         // a data track; else audio
    std::string file;
    std::uint64_t offset;
};

// What a CHD holds: its codecs, hunks and map (chd.h).
struct chd_layout;

struct disc_image {
    std::string path;                       // as given
    std::vector<disc_track> tracks;         // in track order; the data tracks' sectors ascending, none overlapping
    std::uint32_t volume_start = 0;         // where the data area starts: high_density_start on a GD-ROM
    std::shared_ptr<const chd_layout> chd;  // a CHD's: its tracks lie in its hunks
};

// Whether a file name names a disc image: it ends in .gdi, .cue, .iso, .chd or .cdi, any case.
bool is_disc_image_name(std::string_view path);

// Reads the image's descriptor (a CHD's header, metadata and map) and the
// sizes of its track files, and settles its track table. False, with why,
// when the image can't be read so.
bool open_disc_image(const std::string& path, disc_image& image, std::string& why);

// The descriptor parsers, over the descriptor's text; size_of gives the
// bytes of a track file named in it, or false with why. Both check what they
// read and fill image.tracks, each track where the descriptor places it.
// A backslash in a file's name separates folders, as "/" does.
using file_size_of = std::function<bool(const std::string& path, std::uint64_t& size, std::string& why)>;
bool parse_gdi(std::string_view text, const file_size_of& size_of, disc_image& image, std::string& why);
bool parse_cue(std::string_view text, const file_size_of& size_of, disc_image& image, std::string& why);
// A plain .iso of size bytes: 2048-byte sectors from sector 0, or from
// high_density_start when it is a GD-ROM's high-density track saved alone,
// which the root directory's "." record tells (read_sector reads a sector of
// the file).
bool place_iso(const std::string& path, std::uint64_t size,
               const std::function<bool(std::uint32_t sector, std::uint8_t* block)>& read_sector, disc_image& image,
               std::string& why);

// What the descriptor parsers share: the lines of a descriptor (split at LF
// or CR LF, a UTF-8 byte order mark dropped); the next field of a line (a
// run of non-blanks, or a name in double or single quotes; false at the
// line's end or at an unclosed quote); a decimal number of at most max; a
// track file's name as a descriptor writes it, each backslash made a "/";
// the reason for a line that can't be read, which names it and shows it.
std::vector<std::string_view> descriptor_lines(std::string_view text);
bool next_field(std::string_view& line, std::string_view& field);
bool parse_number(std::string_view text, std::uint64_t max, std::uint64_t& value);
std::string file_name(std::string_view field);
std::string line_error(std::size_t number, std::string_view line, const std::string& reason);

// Every file and folder of the image's ISO 9660 file system, depth first as
// recorded (a file outside the data tracks marked so); false, with why, when
// it has none or it is damaged.
bool list_disc_files(const disc_image& image, std::vector<disc_entry>& entries, std::string& why);

// Sectors of the data track that holds lba from lba to the track's end; 0
// when lba lies in no data track.
std::uint32_t data_sectors_from(const disc_image& image, std::uint32_t lba);

// The address that a raw sector's header gives: sync (or 12 zeros, as a CHD
// may keep it), data mode 1 or 2, and minute, second and frame in BCD, the
// minute's tens up to 12 (0xC) as a GD-ROM's outer sectors count them; false
// when it has no such header.
bool sector_address(const std::uint8_t* raw, std::uint32_t& lba);

// Reads stored sector k of a track (k from 0: the sector at its offset) into
// sector, raw_sector_bytes of it; false when it can't.
using stored_reader = std::function<bool(const disc_track& track, std::uint32_t k, const std::uint8_t*& sector)>;

// Settles a track table: with read (a .gdi, .cue or .chd), places each data
// track of raw sectors where its first sectors' headers say (four agreeing
// among its first 1000, sectors without a header passed over), else where
// the descriptor put it; checks that the data tracks follow one another
// without overlapping; sets volume_start: a GD-ROM's high-density area's
// (a data track at 45000), else the last data track's. False, with why,
// when they overlap.
bool settle_tracks(disc_image& image, const stored_reader& read, std::string& why);

// A .chd of size bytes, of version 5 of a CD or GD-ROM: its header,
// metadata (the tracks) and map; false, with why, when this program can't
// read it.
bool place_chd(const std::string& path, std::uint64_t size, disc_image& image, std::string& why);

// A DiscJuggler .cdi of size bytes, version 2.0, 3.0 or 3.5: its tracks as
// its descriptor places them; false, with why, when this program can't read it.
bool place_cdi(const std::string& path, std::uint64_t size, disc_image& image, std::string& why);

// Reads the frames of a CHD, decoding its hunks as they are reached and
// decoding ahead (disc_chd.cpp).
class chd_reader;

// The data track that holds sector lba, or null.
const disc_track* data_track_of(const disc_image& image, std::uint32_t lba);

// Reads sectors of an image: its track files, opened by this reader on first
// use, one handle a track, and the room for a raw sector.
class disc_reader {
public:
    explicit disc_reader(const disc_image& image);
    ~disc_reader();

    // The user data of sector lba into block; false, with why, when it lies in
    // no data track, its file can't be read, or a raw sector is of no data
    // mode or its header gives another address.
    bool read(std::uint32_t lba, std::uint8_t* block, std::string& why);
    // Stored sector k of track (2352 raw bytes, or 2048 user bytes), at
    // sector; false, with why, when its file or hunk can't be read.
    bool read_stored(const disc_track& track, std::uint32_t k, const std::uint8_t*& sector, std::string& why);
    // Whether one of the image's files is the file at path.
    bool holds(const char* path) const;

private:
    struct open_track {
        owned_file file;
        std::uint64_t at = 0;  // where the next read starts, without a seek
    };
    const disc_image& image_;
    std::vector<open_track> files_;
    std::unique_ptr<chd_reader> chd_;
    std::uint8_t raw_[raw_sector_bytes];
};
