// make_corpus DIR: writes seed inputs for the fuzz targets, made by the SFD
// fixture builder: DIR/pass1, DIR/pass2 and DIR/audio_info.
#include "sfd_builder.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

using byte_vec = std::vector<std::uint8_t>;

// An ADX stream: header with "(c)CRI" before the frames, then random frames.
byte_vec synthetic_adx(int channels, std::uint32_t rate, std::size_t frames, std::mt19937& rng)
{
    byte_vec adx(36, 0);
    adx[0] = 0x80;
    adx[3] = 0x20;  // frames at 0x20 + 4
    adx[4] = 3;
    adx[5] = 18;
    adx[6] = 4;
    adx[7] = static_cast<std::uint8_t>(channels);
    for (int i = 0; i < 4; ++i) adx[8 + i] = static_cast<std::uint8_t>(rate >> (24 - 8 * i));
    const auto samples = static_cast<std::uint32_t>(frames * 32);
    for (int i = 0; i < 4; ++i) adx[12 + i] = static_cast<std::uint8_t>(samples >> (24 - 8 * i));
    const char* mark = "(c)CRI";
    for (int i = 0; i < 6; ++i) adx[0x1E + i] = static_cast<std::uint8_t>(mark[i]);
    for (std::size_t f = 0; f < frames * static_cast<std::size_t>(channels); ++f) {
        adx.push_back(0x01);
        adx.push_back(static_cast<std::uint8_t>(rng() & 0xFF));
        for (int i = 0; i < 16; ++i) adx.push_back(static_cast<std::uint8_t>(rng()));
    }
    return adx;
}

// MPEG-1 video-like bytes: a sequence header, then pictures of random bytes.
byte_vec synthetic_video(std::size_t size, std::mt19937& rng)
{
    byte_vec v = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0xA0};
    while (v.size() < size) {
        const std::uint8_t picture[] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0xF8};
        v.insert(v.end(), picture, picture + sizeof picture);
        for (int i = 0; i < 1500; ++i) v.push_back(static_cast<std::uint8_t>(rng() | 0x01));
    }
    return v;
}

void write(const fs::path& path, const byte_vec& prefix, const std::vector<sfd::sector>& sectors, std::size_t cut)
{
    byte_vec bytes = prefix;
    for (const auto& s : sectors) bytes.insert(bytes.end(), s.begin(), s.end());
    if (cut < bytes.size()) bytes.resize(cut);
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    for (const char* sub : {"pass1", "pass2", "audio_info"}) fs::create_directories(dir / sub);
    std::mt19937 rng(1);

    const sfd::header_form forms[] = {
        {0, true, sfd::stamps::pts}, {5, true, sfd::stamps::pts}, {0, false, sfd::stamps::pts_dts},
        {2, true, sfd::stamps::none},
    };
    int n = 0;
    for (const auto& form : forms) {
        for (const int channels : {1, 2}) {
            sfd::mux_options options;
            options.audio_form = form;
            options.end_code = channels == 2;
            const auto sectors = sfd::mux(synthetic_video(6000, rng), synthetic_adx(channels, 22050, 200, rng), options);
            const std::string name = "movie" + std::to_string(n++);
            write(dir / "pass1" / name, {}, sectors, SIZE_MAX);
            write(dir / "pass1" / (name + "-cut"), {}, sectors, 2048 + 18 + 20);
            write(dir / "pass2" / name, {0x00, 0x00, 0x00}, sectors, SIZE_MAX);
            write(dir / "pass2" / (name + "-verbose"), {0x80, 0x00, 0x00}, sectors, SIZE_MAX);
        }
    }
    // A movie followed by its own encoded audio after a split point.
    const auto sectors = sfd::mux(synthetic_video(3000, rng), synthetic_adx(2, 44100, 40, rng));
    byte_vec split = {0x01, static_cast<std::uint8_t>((sectors.size() * 2048) >> 8),
                      static_cast<std::uint8_t>(sectors.size() * 2048)};
    auto with_audio = sectors;
    sfd::sector audio{};
    for (std::size_t i = 0; i < audio.size(); i += 418) {
        audio[i] = 0xFF;
        if (i + 3 < audio.size()) {
            audio[i + 1] = 0xFD;
            audio[i + 2] = 0x80;
            audio[i + 3] = 0x04;
        }
    }
    with_audio.push_back(audio);
    write(dir / "pass2" / "split", split, with_audio, SIZE_MAX);

    const byte_vec headers[] = {{0, 0xFF, 0xFD, 0x80, 0x04}, {1, 0xFF, 0xF5, 0x80, 0xC4}, {1, 0xFF, 0xF9, 0x8C, 0x84},
                                {1, 'I', 'D', '3', 0x03}};
    int h = 0;
    for (const auto& header : headers) write(dir / "audio_info" / ("header" + std::to_string(h++)), header, {}, SIZE_MAX);
    return 0;
}
