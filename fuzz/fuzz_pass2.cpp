// Pass 2 and its probe. The first byte picks the encoded audio: even, a fixed
// valid MPEG audio stream; odd, the bytes after a 16-bit split point. The rest
// (or the bytes before the split) is the SFD movie.
#include "vornalt.h"

#include <cstring>
#include <vector>

namespace {

// Two MPEG-1 layer II frame headers (128 kbit/s, 44.1 kHz) with some frame bytes.
std::vector<std::uint8_t> valid_mpeg_audio()
{
    std::vector<std::uint8_t> frames;
    for (int f = 0; f < 6; ++f) {
        const std::uint8_t header[4] = {0xFF, 0xFD, 0x80, 0x04};
        frames.insert(frames.end(), header, header + 4);
        for (int i = 0; i < 414; ++i) frames.push_back(static_cast<std::uint8_t>(i * 13 + f));
    }
    return frames;
}

std::FILE* open_bytes(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return std::fopen("/dev/null", "rb");  // fmemopen refuses an empty buffer
    return fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) return 0;
    static const std::vector<std::uint8_t> fixed = valid_mpeg_audio();
    const std::uint8_t* movie = data + 3;
    std::size_t movie_size = size - 3;
    const std::uint8_t* audio = fixed.data();
    std::size_t audio_size = fixed.size();
    if (data[0] & 1) {
        const std::size_t split = std::min<std::size_t>(movie_size, static_cast<std::size_t>(data[1] << 8 | data[2]));
        audio = movie + split;
        audio_size = movie_size - split;
        movie_size = split;
    }

    std::FILE* input = open_bytes(movie, movie_size);
    std::FILE* mp3 = open_bytes(audio, audio_size);
    std::FILE* output = std::fopen("/dev/null", "wb");
    std::uint8_t sector[sector_size] = {};
    verbose = data[0] >> 7;
    // As the job does: only a positive byte rate reaches the pass.
    const int byte_rate = probe_byte_rate(mp3, sector);
    if (byte_rate > 0) remux_audio(input, mp3, output, sector, byte_rate);
    std::fclose(output);
    std::fclose(mp3);
    std::fclose(input);
    return 0;
}
