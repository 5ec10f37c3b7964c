// Any bytes through the disc layer's descriptor parsers, its CHD reader and
// the ISO 9660 walk. The first byte chooses: 0 a .gdi and 1 a .cue, the rest
// being its text, whose files are as long as a hash of their names makes them;
// 2 a .chd, the rest being the file, whose data tracks' first sectors are
// read; 4 a .cdi, the same, the rest's first 4 bytes (little-endian) the
// zeros of its track data before the rest; 3 a track table settled by the headers of its raw track's sectors:
// a raw data track and then a track of 2048-byte sectors, where the next 8
// bytes (two little-endian addresses) place them, the rest being the raw
// track's sectors; else a file system of 2048-byte blocks, the rest of the input laid
// from the disc's sector 45016 (its volume descriptor) on, in a data track
// that ends where a further 16 blocks would.
#include "disc.h"
#include "iso9660.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string why;
    if (data[0] < 2) {
        const file_size_of size_of = [](const std::string& name, std::uint64_t& bytes, std::string&) {
            bytes = std::hash<std::string>{}(name) % (std::uint64_t{4} << 30);
            return true;
        };
        disc_image image;
        (data[0] == 0 ? parse_gdi : parse_cue)(rest, size_of, image, why);
        return 0;
    }
    if (data[0] == 2 || (data[0] == 4 && rest.size() >= 4)) {
        // A .cdi's track data is zeros, as many bytes as its first 4 say (at most 16 MiB), before the rest.
        const bool cdi = data[0] == 4;
        const std::uint32_t gap =
            cdi ? (data[1] | data[2] << 8 | data[3] << 16 | (data[4] & 0x7Fu) << 24) % (16u << 20) : 0;
        const std::string_view bytes = cdi ? rest.substr(4) : rest;
        const std::string path = "/tmp/fuzz_disc_" + std::to_string(getpid()) + (cdi ? ".cdi" : ".chd");
        if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fseek(f, static_cast<long>(gap), SEEK_SET);
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        disc_image image;
        if (open_disc_image(path, image, why)) {
            disc_reader reader(image);
            std::uint8_t block[block_bytes];
            for (const disc_track& t : image.tracks)
                for (std::uint32_t i = 0; i < std::min<std::uint32_t>(t.count, 64); ++i)
                    reader.read(t.first + i, block, why);
        }
        std::remove(path.c_str());
        return 0;
    }
    if (data[0] == 3 && rest.size() >= 8) {
        const auto address = [&](std::size_t at) {
            std::uint32_t v = 0;
            for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(rest[at + static_cast<std::size_t>(i)]);
            return v;
        };
        const std::string_view sectors = rest.substr(8);
        const auto count = static_cast<std::uint32_t>(sectors.size() / raw_sector_bytes);
        disc_image image;
        image.tracks = {{1, address(0), count, raw_sector_bytes, true, "raw", 0},
                        {2, address(4), 100, block_bytes, true, "cooked", 0}};
        const stored_reader read = [&](const disc_track& t, std::uint32_t k, const std::uint8_t*& sector) {
            if (t.sector_bytes != raw_sector_bytes || k >= count) return false;
            sector = reinterpret_cast<const std::uint8_t*>(sectors.data()) + std::size_t{k} * raw_sector_bytes;
            return true;
        };
        if (settle_tracks(image, read, why) && image.tracks[0].count > UINT32_MAX - image.tracks[0].first) std::abort();
        return 0;
    }
    constexpr std::uint32_t first = 45016;
    const std::uint32_t blocks = static_cast<std::uint32_t>(rest.size() / 2048);
    const block_reader read = [&](std::uint32_t lba, std::uint8_t* block, std::string& reason) {
        if (lba < first || lba - first >= blocks) {
            reason = "outside";
            return false;
        }
        std::memcpy(block, rest.data() + std::size_t{lba - first} * 2048, 2048);
        return true;
    };
    const track_room room = [&](std::uint32_t lba) {
        return lba >= 45000 && lba < first + blocks + 16 ? first + blocks + 16 - lba : 0u;
    };
    iso_record root{};
    std::vector<disc_entry> entries;
    if (find_root(read, first, root, why)) walk_disc(read, room, root, entries, why);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

#include "replay.h"
