#include "movie.h"

#include "messages.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

bool open_movie(const std::string& path, const movie_place& place, movie_source& source, int& err)
{
    source.place = place;
    source.next = 0;
    if (place.disc != nullptr) {
        source.disc = std::make_unique<disc_reader>(*place.disc);
        return true;
    }
    // A folder does not open.
    if (source.file.open(path.c_str(), "rb")) return true;
    err = source.file.open_error();
    return false;
}

void keep_sectors_in(movie_source& source, const std::string& folder)
{
    if (source.place.disc == nullptr || source.place.disc->chd == nullptr) return;
    source.keeping = source.kept.adopt(open_unnamed_file(folder, 2 * source.place.bytes));
}

namespace {

// The next sector of a movie on a disc: from the file that keeps it, else
// from the image; kept when pass 1 keeps the sectors it reads.
bool read_disc_sector(movie_source& source, std::uint8_t* sector, std::string& why)
{
    const bool from_kept = source.kept && !source.keeping && source.next < source.kept_bytes;
    if (!from_kept || std::fread(sector, 1, block_bytes, source.kept.get()) != block_bytes) {
        const auto lba = static_cast<std::uint32_t>(source.place.first + source.next / block_bytes);
        if (!source.disc->read(lba, sector, why)) return false;
        if (from_kept) source.kept_bytes = 0;  // read from the image from here on
    }
    if (source.keeping && std::fwrite(sector, 1, block_bytes, source.kept.get()) != block_bytes) {
        source.keeping = false;
        source.kept.close();
    }
    return true;
}

}  // namespace

void report_progress(movie_source& source, const std::string& name)
{
    std::uint64_t bytes = source.place.bytes;
    std::error_code error;
    if (source.disc == nullptr) bytes = std::filesystem::file_size(name, error);
    source.progress_name = name;
    source.progress_total = error ? 0 : 2 * bytes;
}

namespace {

constexpr std::uint64_t progress_step = 1024 * 1024;

// Sets the bytes read to read, saying so when a MiB was passed, or always.
void set_progress(movie_source& source, std::uint64_t read, bool always)
{
    if (source.progress_name.empty()) return;
    const std::uint64_t before = source.progress_read;
    source.progress_read = std::min(read, source.progress_total);
    if (always || before / progress_step != source.progress_read / progress_step)
        tell_now("vornalt: %s: read %llu of %llu bytes\n", source.progress_name.c_str(),
                 static_cast<unsigned long long>(source.progress_read),
                 static_cast<unsigned long long>(source.progress_total));
}

}  // namespace

bool read_movie_sector(movie_source& source, std::uint8_t* sector, std::string& why)
{
    std::size_t got = 0;
    if (source.disc == nullptr) {
        got = std::fread(sector, 1, block_bytes, source.file.get());
        if (std::ferror(source.file.get()) != 0) {
            why = error_text(errno);
            return false;
        }
    } else if (source.next < source.place.bytes) {
        if (!read_disc_sector(source, sector, why)) return false;
        got = static_cast<std::size_t>(std::min<std::uint64_t>(block_bytes, source.place.bytes - source.next));
        source.next += got;
    }
    std::memset(sector + got, 0, block_bytes - got);
    set_progress(source, source.progress_read + got, false);
    return got > 0;
}

void end_progress(movie_source& source)
{
    set_progress(source, source.progress_total, true);
}

bool rewind_movie(movie_source& source, std::string& why)
{
    set_progress(source, source.progress_total / 2, true);  // pass 1 has read what it reads
    // What pass 1 kept is read from its start; a file that can't be is dropped.
    if (source.keeping) {
        source.keeping = false;
        source.kept_bytes = source.next;
        if (std::fflush(source.kept.get()) != 0 || std::ferror(source.kept.get()) != 0 ||
            std::fseek(source.kept.get(), 0, SEEK_SET) != 0)
            source.kept.close();
    }
    source.next = 0;
    if (source.disc != nullptr || std::fseek(source.file.get(), 0, SEEK_SET) == 0) return true;
    why = error_text(errno);
    return false;
}

bool is_movie_file(const movie_source& source, const char* path)
{
    return source.disc != nullptr ? source.disc->holds(path) : is_same_file(source.file.get(), path);
}
