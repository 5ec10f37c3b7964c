// Helpers of the tests: temporary folders, whole files, captured output,
// shell commands and media made by ffmpeg.
#pragma once

#include "sfd_builder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace fs = std::filesystem;
using sfd::bytes;

// A fresh folder, removed with its content.
struct temp_dir {
    static inline int made = 0;
    fs::path path = fs::temp_directory_path() / ("vornalt-test-" + std::to_string(getpid()) + "-" + std::to_string(made++));
    temp_dir() { fs::create_directories(path); }
    ~temp_dir() { fs::remove_all(path); }
    fs::path operator/(const std::string& name) const { return path / name; }
    std::string cd() const { return "cd '" + path.string() + "' && "; }
};

// The bytes of an open file from its start; closes it.
inline bytes contents(std::FILE* f)
{
    bytes data;
    for (int c = (std::rewind(f), std::fgetc(f)); c != EOF; c = std::fgetc(f)) data.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return data;
}

inline bytes read_bytes(const fs::path& path) { return fs::exists(path) ? contents(std::fopen(path.c_str(), "rb")) : bytes{}; }

// A file holding data, open at its start: a temporary one, or the one at path.
inline std::FILE* file_of(std::span<const std::uint8_t> data, const char* path = nullptr)
{
    std::FILE* f = path != nullptr ? std::fopen(path, "w+b") : std::tmpfile();
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::rewind(f);
    return f;
}

inline void write_bytes(const fs::path& path, std::span<const std::uint8_t> data) { std::fclose(file_of(data, path.c_str())); }

inline std::string printed_by(const std::function<void()>& fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// The exit status (-1 when the command didn't exit) and standard output of a shell command.
inline std::pair<int, std::string> run_shell(const std::string& command)
{
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// What "ffmpeg -f lavfi -i SOURCE -t SECONDS ARGS" writes, made once per test process.
inline const bytes& ffmpeg_media(const std::string& source, double seconds, const std::string& args)
{
    static temp_dir dir;
    static std::map<std::string, bytes> made;
    const std::string key = source + std::to_string(seconds) + args, file = (dir / std::to_string(made.size())).string();
    if (!made.contains(key)) run_shell("ffmpeg -nostdin -v error -y -f lavfi -i '" + source + "' -t " + std::to_string(seconds) + " " + args + " " + file);
    return made.contains(key) ? made[key] : made[key] = read_bytes(file);
}

// ADX audio of a 1 kHz tone from ffmpeg's encoder; with late, silence until 2 s.
inline const bytes& adx_tone(int channels, int rate, double seconds, bool late = false)
{
    return ffmpeg_media(late ? "aevalsrc=if(gte(t\\,2)\\,0.5*sin(2*PI*1000*t)\\,0):s=" + std::to_string(rate) : "sine=frequency=1000:sample_rate=" + std::to_string(rate),
                        seconds, "-ac " + std::to_string(channels) + " -c:a adpcm_adx -f adx");
}

// MPEG-1 video: the test card, or with marker black with white pictures from 2 s on.
inline const bytes& mpeg1_video(double seconds, bool marker = false)
{
    return ffmpeg_media(marker ? "color=c=black:s=160x120:r=25,drawbox=c=white:t=fill:enable=gte(t\\,2)" : "testsrc=size=160x120:rate=25",
                        seconds, "-c:v mpeg1video -b:v 600k -bf 0 -g 12 -f mpeg1video");
}

// A 1 kHz tone as MPEG-1 layer II at 128 kbit/s.
inline const bytes& mp2_tone(double seconds) { return ffmpeg_media("sine=frequency=1000:sample_rate=44100", seconds, "-ac 2 -c:a mp2 -b:a 128k -f mp2"); }
