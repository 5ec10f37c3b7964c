// The MPEG audio frame header report over any 4 bytes, verbose or not.
#include "vornalt.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5) return 0;
    std::uint8_t* header = static_cast<std::uint8_t*>(std::malloc(4));
    std::memcpy(header, data + 1, 4);
    verbose = data[0] & 1;
    const int rate = audio_info(header);
    if (rate < -1 || rate > 448000) std::abort();
    std::free(header);
    return 0;
}
