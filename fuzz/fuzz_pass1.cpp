// Any bytes as an SFD movie through pass 1 and the ADX writer, plus the field
// codec over the same bytes.
#include "vornalt.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::freopen("/dev/null", "w", stdout);  // the passes report on stdout
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The codec on an exactly sized copy, so any look past the bytes is caught.
    if (size > 0) {
        std::uint8_t* copy = static_cast<std::uint8_t*>(std::malloc(size));
        std::memcpy(copy, data, size);
        const int avail = static_cast<int>(size < 2030 ? size : 2030);
        const block_header h = skip_block_header(copy, avail);
        if (h.length < 0 || h.length > avail) std::abort();
        if (size >= 5) {
            const std::uint32_t ts = read_timestamp(copy);
            write_timestamp(copy, ts, 0x20);
            if (read_timestamp(copy) != ts) std::abort();
        }
        std::free(copy);
    }

    std::FILE* input = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (size == 0) input = std::fopen("/dev/null", "rb");  // fmemopen refuses an empty buffer
    std::FILE* wav = std::fopen("/dev/null", "wb");
    std::uint8_t sector[sector_size] = {};
    demux_audio(input, wav, sector);
    std::fclose(wav);
    std::fclose(input);
    return 0;
}
