// The conversion job: one movie from its input to its output in three steps
// (pass 1 into tmp.wav, the encoder into tmp.mp3, pass 2 into the output),
// with the files it owns and what it was told by the command line.
#pragma once

#include "adxconv.h"
#include "messages.h"
#include "movie.h"

#include <string>

// Which encoder makes the encoded audio of a conversion.
struct encoder_choice {
    enum kind { standard, external, builtin } what = standard;  // standard: toolame32, or else the built-in
    const char* command = nullptr;                              // -c COMMAND
    const char* bitrate = nullptr;                              // -b N, digits; null: the built-in's default
};

// What the options before an input set for its conversion.
struct settings {
    encoder_choice encoder;                 // -c or -b, whichever came later
    bool verbose = false;                   // -v: the stream reports
    adx_level level = adx_level::standard;  // -l: full level
    const char* out_dir = nullptr;          // -o: the outputs' folder; null: next to the input
};

// One input's conversion: what it was given, its temporary files, and
// where its messages go.
struct conversion {
    std::string input;  // the path as given; for a movie on a disc image, the image's path, '/', its path on the disc
    std::string output;
    movie_place place;          // where the movie lies on a disc image; none: the file at input
    std::uint32_t missing = 0;  // sectors of the movie that lie past the end of its image
    std::string output_base;    // on a disc image: the folder below which the output's missing folders are made
    std::string failure;        // why an image or a path on it can't be opened: nothing is converted
    settings options;
    encoder_choice encoder;     // the encoder that runs: a command or the built-in
    bool side_by_side = false;  // temporary files in a private folder, messages held
    bool progress = false;      // --progress: the bytes the passes read, on standard error as they go
    std::string replaces;       // an earlier input whose output this one's replaces
    std::string temp_dir;       // the temporary files' folder with its separator; "": the current folder
    messages log;

    std::string temp_file(const char* name) const { return temp_dir + name; }
};

// Converts one input: true when the movie was converted whole, false when
// the job stopped or encoded audio was lost.
bool vornalt(conversion& job);
