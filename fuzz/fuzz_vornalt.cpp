// Any bytes through pass 1, the probe of the encoded audio (tags, frame
// header report) and pass 2. The first byte sets verbose and the level; the next two split
// the rest into the movie and the encoded audio.
#include "mpeg.h"
#include "passes.h"

#include <algorithm>
#include <cstdio>

namespace {

std::FILE* open_bytes(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return std::fopen("/dev/null", "rb");  // fmemopen refuses an empty buffer
    return fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) return 0;
    const bool verbose = data[0] & 1;
    messages log;
    const std::size_t split = std::min<std::size_t>(size - 3, static_cast<std::size_t>(data[1] << 8 | data[2]));
    movie_source movie;
    movie.file.adopt(open_bytes(data + 3, split));
    std::FILE* mp3 = open_bytes(data + 3 + split, size - 3 - split);
    std::FILE* sink = std::fopen("/dev/null", "wb");
    std::uint8_t sector[sector_size] = {};
    static adx_writer writer;
    demux_audio(movie, sink, sector, writer, data[0] & 2 ? adx_level::full : adx_level::standard, log);
    std::string why;
    rewind_movie(movie, why);
    // As the job does: only a positive byte rate reaches pass 2.
    const audio_probe probe = probe_byte_rate(mp3, sector, verbose ? &log : nullptr);
    if (probe.byte_rate > 0) remux_audio(movie, mp3, sink, sector, probe.byte_rate, log, verbose);
    std::fclose(sink);
    std::fclose(mp3);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;  // the passes report on stdout
}

#include "replay.h"
