// make_sfd VIDEO.m1v AUDIO.adx OUT.sfd
// Muxes an MPEG-1 video elementary stream and an ADX stream into an SFD movie.
#include "sfd_builder.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_sfd VIDEO.m1v AUDIO.adx OUT.sfd\n");
        return 2;
    }
    const auto video = sfd::read_file(argv[1]);
    const auto adx = sfd::read_file(argv[2]);
    if (video.empty() || adx.empty()) {
        std::fprintf(stderr, "make_sfd: can't read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    const auto sectors = sfd::mux(video, adx);
    if (!sfd::write_file(argv[3], sectors)) {
        std::fprintf(stderr, "make_sfd: can't write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
