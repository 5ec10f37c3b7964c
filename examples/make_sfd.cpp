// make_sfd VIDEO.m1v AUDIO.adx OUT.sfd [START]
// Muxes an MPEG-1 video elementary stream and an ADX stream (AUDIO "-": none)
// into an SFD movie with the tests' fixture builder; its stamps start at
// START (90 kHz ticks, default 0).
#include "sfd_builder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

sfd::bytes read_file(const char* path)
{
    sfd::bytes data;
    if (std::FILE* f = std::fopen(path, "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<std::uint8_t>(c));
        std::fclose(f);
    }
    return data;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_sfd VIDEO.m1v AUDIO.adx OUT.sfd [START]\n");
        return 2;
    }
    const sfd::bytes video = read_file(argv[1]);
    const sfd::bytes adx = std::strcmp(argv[2], "-") == 0 ? sfd::bytes{} : read_file(argv[2]);
    if (video.size() < 8 || (adx.size() < 16 && std::strcmp(argv[2], "-") != 0)) {
        std::fprintf(stderr, "make_sfd: can't read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    const auto start = static_cast<std::uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0);
    const sfd::bytes movie = sfd::mux(video, adx, start);
    std::FILE* out = std::fopen(argv[3], "wb");
    const bool ok = out != nullptr && std::fwrite(movie.data(), 1, movie.size(), out) == movie.size();
    if (out == nullptr || std::fclose(out) != 0 || !ok) {
        std::fprintf(stderr, "make_sfd: can't write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
