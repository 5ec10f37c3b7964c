// The conversion job, its output name and the command line.
#pragma once

#include "adxconv.h"

#include <string>

// What the options before an input set for its conversion.
struct settings {
    const char* encoder = "toolame32";  // -c: the encoder command text
    bool verbose = false;               // -v: the stream reports
    adx_level level = adx_level::standard;  // -l: full level
};

// The output name for an input: its extension replaced by (or, without one,
// extended with) ".mpg"; a path with backslashes gives a name in the current folder.
std::string make_output_name(const char* input);

// Converts one input into output_path: 0 when the movie was converted
// whole, -1 when the job stopped or encoded audio was lost.
int vornalt(const char* input_path, const char* output_path, const settings& options);

// The argument walk: 0 when every input converted whole, 1 when any did not,
// -1 without arguments.
int run(int argc, char** argv);
