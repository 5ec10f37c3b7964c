// Helpers of the tests: temporary folders, whole files, shell commands, the
// committed fixtures, the ADX writer over chunks, a movie's audio payloads.
#pragma once

#include "adxconv.h"
#include "mpeg.h"
#include "sfd_builder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
using sfd::bytes;

// A fresh folder, removed with its content; made by mkdtemp, so that a folder
// left behind by a killed test process never hands its files to a later test.
struct temp_dir {
    fs::path path = make();
    static fs::path make()
    {
        std::string name = (fs::temp_directory_path() / "vornalt-test-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp: " + name);
        return name;
    }
    ~temp_dir() { fs::remove_all(path); }
    fs::path operator/(const std::string& name) const { return path / name; }
    std::string cd() const { return "cd '" + path.string() + "' && "; }
};

inline std::string read_text(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

inline bytes read_bytes(const fs::path& path)
{
    const std::string text = read_text(path);
    return bytes(text.begin(), text.end());
}

inline fs::path fixture(const std::string& name)
{
    return fs::path(VORNALT_FIXTURES) / name;
}

// A temporary file holding data, at its start.
inline std::FILE* file_of(std::span<const std::uint8_t> data)
{
    std::FILE* f = std::tmpfile();
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::rewind(f);
    return f;
}

// What a file holds from its start; closes it.
inline bytes contents(std::FILE* f)
{
    bytes data(static_cast<std::size_t>((std::fseek(f, 0, SEEK_END), std::ftell(f))));
    std::rewind(f);
    EXPECT_EQ(std::fread(data.data(), 1, data.size(), f), data.size());
    std::fclose(f);
    return data;
}

// The WAV that the ADX writer makes of a stream handed over as a first chunk
// and then chunks of a size, whatever state the writer was left in before.
inline bytes write_wav(std::span<const std::uint8_t> adx, std::size_t first, std::size_t chunk)
{
    static adx_writer w;
    std::memset(&w, 0xA5, sizeof w);
    std::FILE* wav = std::tmpfile();
    adx_write_init(w, adx_level::standard);
    for (std::size_t at = 0, n = first; at < adx.size(); at += n, n = chunk)
        adx_write(w, wav, &adx[at], static_cast<int>(std::min(n, adx.size() - at)));
    adx_write(w, wav, nullptr, 0);
    return contents(wav);
}

// The audio packets' payloads of a movie, in order.
inline bytes audio_payloads(const bytes& movie)
{
    bytes out;
    messages quiet{true, "", ""};
    for (std::size_t at = 0; at + sector_size <= movie.size(); at += sector_size) {
        const std::uint8_t* s = &movie[at];
        if (read_long(s) != pack_code || read_long(s + stream_code_offset) != audio_code) continue;
        const int length = bounded_packet_length(s);
        const int h = skip_block_header(s + packet_header_offset, length, quiet).length;
        out.insert(out.end(), s + packet_header_offset + h, s + packet_header_offset + length);
    }
    return out;
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

// Whether a program is on the PATH; "root": whether the tests run as root.
inline bool has_tool(const std::string& tool)
{
    if (tool == "root") return geteuid() == 0;
    return run_shell("command -v " + tool + " >/dev/null").first == 0;
}

// Skips the test, saying why, when a tool it needs is not on the PATH.
#define REQUIRE_TOOL(tool)                                                                                             \
    if (!has_tool(tool)) GTEST_SKIP() << tool " is not on the PATH"
