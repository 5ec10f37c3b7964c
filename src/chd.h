// The parts of the CHD reader below the disc layer: the container
// (chd_container.cpp: the header and the track metadata; chd_map.cpp: the
// map of hunks and its Huffman code), the CD codecs and their libraries
// (chd_codecs.cpp), and the regeneration of a data sector's sync and parity
// (cd_parity.cpp). disc_chd.cpp places the tracks and reads the hunks.
#pragma once

#include "files.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A unit of a CD's CHD: a frame of 2352 sector bytes, then 96 subcode bytes.
constexpr int chd_frame_bytes = 2448;
constexpr int chd_sector_bytes = 2352;
constexpr int chd_subcode_bytes = 96;

// A big-endian number of n bytes.
inline std::uint64_t get_be(const std::uint8_t* p, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// A four-character code as the header stores it.
constexpr std::uint32_t fourcc(const char (&s)[5])
{
    return std::uint32_t{static_cast<std::uint8_t>(s[0])} << 24 | std::uint32_t{static_cast<std::uint8_t>(s[1])} << 16 |
           std::uint32_t{static_cast<std::uint8_t>(s[2])} << 8 | std::uint32_t{static_cast<std::uint8_t>(s[3])};
}

// How a hunk is stored, as the map says after its pseudo-types are resolved:
// by the codec of a slot, as it is, or as a copy of an earlier hunk.
enum hunk_type : std::uint8_t { codec0, codec1, codec2, codec3, uncompressed, self_copy, parent_copy };

struct chd_hunk {
    std::uint8_t type;
    std::uint32_t length;
    std::uint64_t offset;  // in the file; for a copy, the hunk copied
    std::uint16_t crc;
};

// What the disc layer keeps of a CHD, and reads through.
struct chd_layout {
    std::uint32_t codecs[4];
    std::uint32_t hunk_bytes;
    std::uint32_t frames_per_hunk;
    std::uint64_t logical;
    bool checked;  // the hunks' CRCs are recorded (a compressed CHD)
    std::vector<chd_hunk> hunks;
};

// A track as the metadata gives it.
struct chd_track {
    int number;
    std::string type;
    std::uint32_t frames;
    std::uint32_t pad;
    std::uint32_t pregap;
    std::uint32_t postgap;
    bool pregap_stored;
};

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF), of hunks and of the map.
std::uint16_t crc16(const std::uint8_t* p, std::size_t n);

// Reads the header, the track metadata and the map of the CHD at path, of
// size bytes, open as f; false, with why, when this program can't read it.
bool read_chd(std::FILE* f, const std::string& path, std::uint64_t size, chd_layout& chd,
              std::vector<chd_track>& tracks, std::string& why);

// The map, at its offset map of the file (chd_map.cpp): the compressed map of
// a compressed CHD, or the plain one of an uncompressed CHD.
bool read_map(std::FILE* f, std::uint64_t size, std::uint64_t map, chd_layout& chd, std::string& why);
bool read_plain_map(std::FILE* f, std::uint64_t size, std::uint64_t map, chd_layout& chd, std::string& why);

// Whether this program reads hunks of codec; its name otherwise (chd_codecs.cpp).
bool is_known_codec(std::uint32_t codec);
std::string codec_name(std::uint32_t codec);

// The room that unpacking a hunk needs besides its output, kept between hunks.
struct unpack_room {
    std::vector<std::uint8_t> base, subcode;
};

// Decompresses a hunk of codec, in[0..size), into frames frames at out;
// false when it is damaged (no exact output).
bool unpack_hunk(std::uint32_t codec, const std::uint8_t* in, std::size_t size, std::uint32_t frames, std::uint8_t* out,
                 unpack_room& room);

// Writes the sync pattern and the P and Q parity of a data sector (mode 1, or
// mode 2 form 1, whose header counts as zeros) of 2352 bytes (cd_parity.cpp).
void regenerate_sync_and_parity(std::uint8_t* sector);

// Reads the frames of a CHD: the hunk that holds the frame asked for,
// decoded by the reading thread itself when no helper has it, and kept while
// the next frames lie in it. Read in order, the next hunks are decoded ahead
// by helper threads, each while it holds a free slot of the run's thread
// budget (none waits for one), so that hunks decode on several processors at
// once. A hunk that is damaged fails the read of a frame in it, whoever
// decoded it, and only then.
class chd_reader {
public:
    chd_reader(const std::string& path, const chd_layout& chd);
    ~chd_reader();
    chd_reader(const chd_reader&) = delete;
    chd_reader& operator=(const chd_reader&) = delete;

    // The frame (2352 sector bytes, then subcode) at frame; false, with why,
    // when its hunk can't be read or is damaged.
    bool read_frame(std::uint32_t frame, std::uint8_t*& sector, std::string& why);

private:
    // What one thread decodes with: its own handle of the file, its buffers.
    struct decoder {
        owned_file file;
        std::vector<std::uint8_t> packed;
        unpack_room room;
    };
    // A hunk decoded ahead, or to be.
    struct ahead {
        enum { free, wanted, decoding, done } state = free;
        std::uint32_t hunk = 0;
        bool ok = false;
        std::string why;
        std::vector<std::uint8_t> data;
    };
    bool decode(decoder& d, std::uint32_t hunk, std::vector<std::uint8_t>& out, std::string& why) const;
    bool take_ahead(std::uint32_t hunk, bool& ok, std::string& why);
    void want_ahead(std::uint32_t hunk);
    void help();

    const std::string path_;
    const chd_layout& chd_;
    decoder own_;                         // the reading thread's
    std::uint32_t current_ = UINT32_MAX;  // the hunk in data_
    std::vector<std::uint8_t> data_;
    // Shared with the helpers, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ahead> ahead_;
    bool stop_ = false;
    std::vector<std::thread> helpers_;
};
