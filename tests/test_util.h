// Helpers shared by the tests: temporary folders, whole-file I/O, running
// commands, captured standard output and media made with ffmpeg.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with its content.
struct temp_dir {
    fs::path path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    fs::path operator/(const std::string& name) const { return path / name; }
};

bytes read_bytes(const fs::path& path);
void write_bytes(const fs::path& path, std::span<const std::uint8_t> data);
void write_text(const fs::path& path, const std::string& text);
// Writes an executable shell script.
void write_script(const fs::path& path, const std::string& body);

struct run_result {
    int status;       // exit status, or -1 when the process didn't exit normally
    std::string out;  // standard output
};
// Runs a shell command line and collects its standard output.
run_result run_shell(const std::string& command);

// Standard output printed by fn, in this process.
std::string capture_stdout(const std::function<void()>& fn);

// The contents of a FILE* opened by tmpfile() or similar, from its start.
bytes file_contents(std::FILE* f);

// Single-quoted for the shell.
std::string quoted(const std::string& text);

// Media from ffmpeg, made once per test process: an ADX sine tone and an
// MPEG-1 video elementary stream (no B-pictures).
const bytes& adx_tone(int channels, int sample_rate, double seconds, int frequency = 1000);
const bytes& mpeg1_video(double seconds);

// Fraction of the signal's energy that a best-fitting sine of the given
// frequency explains (1.0 for a pure tone of that frequency).
double tone_fraction(std::span<const double> samples, double sample_rate, double frequency);

// An MPEG-1 layer II stream of a sine tone, made by ffmpeg's own encoder.
const bytes& mp2_tone(double seconds);

// An SFD movie of a 1000 Hz stereo tone and test-card video, muxed by the fixture builder.
bytes tone_movie(double seconds);
