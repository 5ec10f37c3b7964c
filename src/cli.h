// The command line: the arguments, the help and usage texts, the encoder of
// each input, the output names, and the summary of the movies that failed.
#pragma once

#include <string>

// The output name for an input. Without an output folder: its extension
// replaced by (or, without one, extended with) ".mpg"; a path with
// backslashes gives a name in the current folder. With one: the input's file
// name so changed, in that folder.
std::string make_output_name(const char* input, const char* out_dir = nullptr);

// The command line: 0 when every input converted whole, 1 when any did not,
// -1 without arguments or with a bad -j or -b.
int run(int argc, char** argv);
