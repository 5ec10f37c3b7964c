// make_sfd VIDEO.m1v AUDIO.adx OUT.sfd [repeat]
// Muxes an MPEG-1 video elementary stream and an ADX stream into an SFD
// movie. With repeat > 1 the whole sector row (less the end sector) is
// written that many times, which makes long inputs for the benchmark fast.
#include "sfd_builder.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_sfd VIDEO.m1v AUDIO.adx OUT.sfd [repeat]\n");
        return 2;
    }
    const auto video = sfd::read_file(argv[1]);
    const auto adx = sfd::read_file(argv[2]);
    if (video.empty() || adx.empty()) {
        std::fprintf(stderr, "make_sfd: can't read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    const int repeat = argc > 4 ? std::atoi(argv[4]) : 1;
    auto sectors = sfd::mux(video, adx);
    if (repeat > 1) {
        const sfd::sector last = sectors.back();
        sectors.pop_back();
        const std::size_t once = sectors.size();
        sectors.reserve(once * static_cast<std::size_t>(repeat) + 1);
        for (int r = 1; r < repeat; ++r)
            for (std::size_t i = 0; i < once; ++i) sectors.push_back(sectors[i]);
        sectors.push_back(last);
    }
    if (!sfd::write_file(argv[3], sectors)) {
        std::fprintf(stderr, "make_sfd: can't write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
