// Where the passes read a movie's sectors: a file of its own, or a file on a
// disc image, read the same way, so that the passes need not know which.
#pragma once

#include "disc.h"
#include "files.h"

#include <cstdint>
#include <memory>
#include <string>

// Where a movie lies on a disc image; a movie without an image is the file
// at its conversion's input path.
struct movie_place {
    std::shared_ptr<const disc_image> disc;
    std::uint32_t first = 0;  // its first sector
    std::uint64_t bytes = 0;  // its length, as far as the image holds it
};

// An open movie: its file, or its image's reader, and how far it was read;
// for a movie in a compressed image, the file that keeps the sectors that
// pass 1 decoded, for pass 2.
struct movie_source {
    owned_file file;
    std::unique_ptr<disc_reader> disc;
    movie_place place;
    std::uint64_t next = 0;  // on a disc: bytes of the movie read so far
    owned_file kept;
    bool keeping = false;          // pass 1 writes each sector to kept
    std::uint64_t kept_bytes = 0;  // of the movie, in kept, for pass 2
    // With a name: the bytes that both passes read, out of twice the movie's,
    // reported as they go.
    std::string progress_name;
    std::uint64_t progress_total = 0, progress_read = 0;
};

// Reports the bytes that the passes read as name's progress, every MiB and
// at the end of each pass: "vornalt: NAME: read N of M bytes", M being
// twice the movie's bytes (a pass that ends at the movie's end code counts
// as having read it all). end_progress: pass 2 has ended.
void report_progress(movie_source& source, const std::string& name);
void end_progress(movie_source& source);

// Opens the movie at path, or at place on its image; false, with the
// system's error number in err, when its file can't be opened.
bool open_movie(const std::string& path, const movie_place& place, movie_source& source, int& err);

// For a movie in a compressed image (a CHD), whose sectors would otherwise
// be decoded once a pass: pass 1 keeps them in a file without a name in
// folder, when it has room for twice the movie (the kept file beside the
// output that pass 2 writes), and pass 2 reads them from there. Where no file
// can be kept, or a write to it fails, pass 2 decodes them again.
void keep_sectors_in(movie_source& source, const std::string& folder);

// Reads the next sector into sector; the bytes that a short last sector
// lacks are zeros. False at the end of the movie, and on a read error, which
// why then says.
bool read_movie_sector(movie_source& source, std::uint8_t* sector, std::string& why);

// Goes back to the movie's first sector; false, with why, when it can't.
bool rewind_movie(movie_source& source, std::string& why);

// Whether path is a file that the movie is read from.
bool is_movie_file(const movie_source& source, const char* path);
