// The encoders that make the encoded audio, tmp.mp3, of tmp.wav: a command
// run through the command processor, or the built-in MPEG audio layer II
// encoder (libtwolame), which runs in this process.
#pragma once

#include "mpeg.h"

#include <string>

// Where an encoder finds tmp.wav and puts tmp.mp3, and where its messages go.
struct encode_files {
    std::string temp_dir;       // the temporary files' folder with its separator; "": the current folder
    bool side_by_side = false;  // other conversions run beside this one: a command's own output is held
    messages& log;

    std::string wav() const { return temp_dir + "tmp.wav"; }
    std::string mp3() const { return temp_dir + "tmp.mp3"; }
};

// Runs "COMMAND tmp.wav tmp.mp3" in the current folder and waits for it.
// Returns whether it exited with status 0; if not, says why on standard error.
bool encode_with_command(const std::string& command, const encode_files& files);

// Encodes tmp.wav into tmp.mp3 as MPEG audio layer II at bitrate kbit/s
// (decimal digits; null: the library's default for the stream's sampling
// rate and channels), mono for one channel: the bytes that the twolame
// program writes with the same bit rate. Returns false, saying why on
// standard error, for a bit rate or sampling rate that layer II does not
// have, or a tmp.wav or tmp.mp3 that can't be read or written.
// The stream is cut into segments that are encoded side by side, by as many
// threads at once in the whole process as the thread budget allows, and
// written in order: the same bytes as one encoder over the whole stream.
bool encode_builtin(const char* bitrate, const encode_files& files);
