#include "util.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <map>

temp_dir::temp_dir() : path(fs::temp_directory_path() / "vornalt-test-XXXXXX")
{
    std::string pattern = path.string();
    path = mkdtemp(pattern.data());
}

temp_dir::~temp_dir()
{
    fs::remove_all(path);
}

bytes read_bytes(const fs::path& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    return f != nullptr ? contents(f) : bytes{};
}

void write_bytes(const fs::path& path, std::span<const std::uint8_t> data)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    ASSERT_EQ(std::fclose(f), 0);
}

std::FILE* file_of(std::span<const std::uint8_t> data)
{
    std::FILE* f = std::tmpfile();
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::rewind(f);
    return f;
}

bytes contents(std::FILE* f)
{
    bytes data;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return data;
}

std::string printed_by(const std::function<void()>& fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

run_result run_shell(const std::string& command)
{
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string quoted(const std::string& text)
{
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

namespace {

// The output of "ffmpeg -f lavfi -i SOURCE ARGS FILE", made once per test process.
const bytes& ffmpeg_media(const std::string& source, const std::string& args)
{
    static temp_dir dir;
    static std::map<std::string, bytes> made;
    const std::string key = source + args, file = (dir / std::to_string(made.size())).string();
    if (!made.contains(key)) {
        run_shell("ffmpeg -nostdin -v error -y -f lavfi -i " + quoted(source) + " " + args + " " + file);
        made[key] = read_bytes(file);
    }
    return made[key];
}

} // namespace

const bytes& adx_tone(int channels, int rate, double seconds, bool late)
{
    return ffmpeg_media(late ? "aevalsrc=if(gte(t\\,2)\\,0.5*sin(2*PI*1000*t)\\,0):s=" + std::to_string(rate)
                             : "sine=frequency=1000:sample_rate=" + std::to_string(rate),
                        "-t " + std::to_string(seconds) + " -ac " + std::to_string(channels) + " -c:a adpcm_adx -f adx");
}

const bytes& mpeg1_video(double seconds, bool marker)
{
    return ffmpeg_media(marker ? "color=c=black:s=160x120:r=25,drawbox=c=white:t=fill:enable=gte(t\\,2)"
                               : "testsrc=size=160x120:rate=25",
                        "-t " + std::to_string(seconds) + " -c:v mpeg1video -b:v 600k -bf 0 -g 12 -f mpeg1video");
}

const bytes& mp2_tone(double seconds)
{
    return ffmpeg_media("sine=frequency=1000:sample_rate=44100", "-t " + std::to_string(seconds) + " -ac 2 -c:a mp2 -b:a 128k -f mp2");
}
