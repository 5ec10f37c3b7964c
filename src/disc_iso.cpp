// A plain .iso: the 2048-byte user data of the sectors of one data track.
// Its sector 0 is the disc's sector 0, or, for a GD-ROM's high-density track
// saved alone, sector 45000: the file system's addresses are the disc's, and
// the root directory's first record ("."), which gives its own address, tells
// which.
#include "disc.h"

namespace {

// The bases that a plain .iso can have: an ordinary disc's, a GD-ROM's high-density area's.
constexpr std::uint32_t bases[] = {0, high_density_start};

}  // namespace

bool place_iso(const std::string& path, std::uint64_t size,
               const std::function<bool(std::uint32_t sector, std::uint8_t* block)>& read_sector, disc_image& image,
               std::string& why)
{
    const std::uint64_t sectors = size / block_bytes;
    const block_reader read_file_sector = [&](std::uint32_t sector, std::uint8_t* block, std::string& reason) {
        if (sector < sectors && read_sector(sector, block)) return true;
        reason = "no ISO 9660 volume descriptor at sector " + std::to_string(volume_descriptor_sector);
        return false;
    };
    std::uint8_t block[block_bytes];
    iso_record root{};
    if (!find_root(read_file_sector, volume_descriptor_sector, root, why)) return false;
    for (const std::uint32_t base : bases) {
        iso_record dot{};
        if (root.extent < base || root.extent - base >= sectors || !read_sector(root.extent - base, block) ||
            !read_first_record(block, dot) || dot.extent != root.extent)
            continue;
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, UINT32_MAX - base));
        image.tracks = {{1, base, count, block_bytes, true, path, 0}};
        image.volume_start = base;
        return true;
    }
    why = "its root directory is at sector " + std::to_string(root.extent) +
          ", which is no directory of this image's file system";
    return false;
}
