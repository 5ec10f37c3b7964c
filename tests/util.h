// Helpers of the tests: temporary folders, whole files, captured output,
// shell commands and media made by ffmpeg.
#pragma once

#include "sfd_builder.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

namespace fs = std::filesystem;
using sfd::bytes;

// A fresh folder under the system's temporary folder, removed with its content.
struct temp_dir {
    fs::path path;
    temp_dir();
    ~temp_dir();
    fs::path operator/(const std::string& name) const { return path / name; }
};

bytes read_bytes(const fs::path& path);
void write_bytes(const fs::path& path, std::span<const std::uint8_t> data);
std::FILE* file_of(std::span<const std::uint8_t> data);  // a temporary file holding data, at its start
bytes contents(std::FILE* f);                            // its bytes; closes it
std::string printed_by(const std::function<void()>& fn);  // what fn printed to standard output

struct run_result {
    int status;       // exit status, -1 when the process didn't exit
    std::string out;  // standard output
};
run_result run_shell(const std::string& command);
std::string quoted(const std::string& text);  // single-quoted for the shell

// ADX audio of a 1 kHz tone from ffmpeg's encoder; with late, silence until 2 s.
const bytes& adx_tone(int channels, int rate, double seconds, bool late = false);
// MPEG-1 video: the test card, or with marker black with white pictures from 2 s on.
const bytes& mpeg1_video(double seconds, bool marker = false);
// A 1 kHz tone as MPEG-1 layer II at 128 kbit/s.
const bytes& mp2_tone(double seconds);
