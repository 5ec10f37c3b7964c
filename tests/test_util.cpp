#include "test_util.h"

#include "sfd_builder.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <numbers>

temp_dir::temp_dir()
{
    std::string pattern = (fs::temp_directory_path() / "vornalt-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

bytes read_bytes(const fs::path& path)
{
    return sfd::read_file(path.c_str());
}

void write_bytes(const fs::path& path, std::span<const std::uint8_t> data)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("can't create " + path.string());
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !ok) throw std::runtime_error("can't write " + path.string());
}

void write_text(const fs::path& path, const std::string& text)
{
    write_bytes(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void write_script(const fs::path& path, const std::string& body)
{
    write_text(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

run_result run_shell(const std::string& command)
{
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, ""};
    std::string out;
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, got);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string capture_stdout(const std::function<void()>& fn)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

bytes file_contents(std::FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    bytes data;
    std::uint8_t buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + got);
    return data;
}

std::string quoted(const std::string& text)
{
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

namespace {

// Where the ffmpeg-made media of this process live.
const fs::path& media_dir()
{
    static temp_dir dir;
    return dir.path;
}

const bytes& cached_media(const std::string& name, const std::string& ffmpeg_args)
{
    static std::map<std::string, bytes> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    const fs::path path = media_dir() / name;
    const run_result r = run_shell("ffmpeg -nostdin -v error -y " + ffmpeg_args + " " + quoted(path.string()) + " 2>&1");
    if (r.status != 0) throw std::runtime_error("ffmpeg failed: " + r.out);
    return cache[name] = read_bytes(path);
}

} // namespace

const bytes& adx_tone(int channels, int sample_rate, double seconds, int frequency)
{
    const std::string name = "tone-" + std::to_string(channels) + "-" + std::to_string(sample_rate) + "-" +
                             std::to_string(seconds) + "-" + std::to_string(frequency) + ".adx";
    return cached_media(name, "-f lavfi -i sine=frequency=" + std::to_string(frequency) +
                                  ":sample_rate=" + std::to_string(sample_rate) + " -t " + std::to_string(seconds) +
                                  " -ac " + std::to_string(channels) + " -c:a adpcm_adx -f adx");
}

const bytes& mpeg1_video(double seconds)
{
    return cached_media("video-" + std::to_string(seconds) + ".m1v",
                        "-f lavfi -i testsrc=size=160x120:rate=25 -t " + std::to_string(seconds) +
                            " -c:v mpeg1video -b:v 800k -bf 0 -g 12 -f mpeg1video");
}

double tone_fraction(std::span<const double> samples, double sample_rate, double frequency)
{
    // The fit has a constant term too: a slow offset is not part of the tone's shape.
    double mean = 0;
    for (const double x : samples) mean += x;
    mean /= static_cast<double>(samples.size());
    double a = 0;
    double b = 0;
    double energy = 0;
    const double w = 2 * std::numbers::pi * frequency / sample_rate;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double x = samples[i] - mean;
        a += x * std::cos(w * static_cast<double>(i));
        b += x * std::sin(w * static_cast<double>(i));
        energy += x * x;
    }
    if (energy == 0) return 0;
    return 2 * (a * a + b * b) / static_cast<double>(samples.size()) / energy;
}

const bytes& mp2_tone(double seconds)
{
    return cached_media("tone-" + std::to_string(seconds) + ".mp2",
                        "-f lavfi -i sine=frequency=1000:sample_rate=44100 -t " + std::to_string(seconds) +
                            " -ac 2 -c:a mp2 -b:a 128k -f mp2");
}

bytes tone_movie(double seconds)
{
    bytes out;
    for (const auto& s : sfd::mux(mpeg1_video(seconds), adx_tone(2, 44100, seconds)))
        out.insert(out.end(), s.begin(), s.end());
    return out;
}
