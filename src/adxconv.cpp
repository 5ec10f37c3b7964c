#include "adxconv.h"

#include <cstring>

namespace {

// Big-endian readers for the ADX header fields.
std::uint32_t adx_read_long(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

int adx_read_word(const std::uint8_t* p)
{
    return (p[0] << 8) | p[1];
}

void put_le32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

void put_le16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr int unit_bytes = 36;
constexpr int unit_values = 64;
constexpr int wav_header_bytes = 44;

// Decoder coefficients: step factor, weight of s1, weight of s2.
constexpr std::int32_t step_factor = 4576;
constexpr std::int32_t weight_s1 = 29336;
constexpr std::int32_t weight_s2 = 13136;

using unit_decoder = void (*)(std::int16_t*, const std::uint8_t*, int*);

// Writer state: one stream at a time, re-armed by adx_write_init.
int first_time = 1;
std::uint32_t size;        // sample values still to be written
std::uint32_t written;     // sample values written since the header
long header_pos;           // where the WAV header stands in the file
unit_decoder conv = convert_mono;
int prev[4];
std::uint8_t inbuf[unit_bytes];
int inptr;
std::uint8_t wavhdr[wav_header_bytes] = {
    'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
    16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0,
    4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0,
};

// The header check: 0x80 first, "(c)CRI" just before the frames, one or two
// channels, and the whole header inside this chunk so nothing is read past it.
bool is_adx_header(const std::uint8_t* src, int len)
{
    if (src == nullptr || len < 16 || src[0] != 0x80) return false;
    const int offset = adx_read_word(src + 2);
    if (offset < 2 || len < offset + 4) return false;
    if (std::memcmp(src + offset - 2, "(c)CRI", 6) != 0) return false;
    const int channels = src[7];
    return channels == 1 || channels == 2;
}

// Writes the first min(size, 64) values of one decoded unit, little-endian.
void write_unit(std::FILE* wav, const std::int16_t* out)
{
    const std::uint32_t k = size < unit_values ? size : unit_values;
    size -= k;
    written += k;
    std::uint8_t bytes[unit_values * 2];
    for (std::uint32_t i = 0; i < k; ++i) put_le16(bytes + 2 * i, static_cast<std::uint16_t>(out[i]));
    std::fwrite(bytes, 2, k, wav);
}

// Reads the header fields, writes the WAV header and arms the decoder.
// Returns the header length to skip.
int start_stream(std::FILE* wav, const std::uint8_t* src)
{
    first_time = 0;
    inptr = 0;
    std::memset(prev, 0, sizeof prev);

    const std::uint32_t channels = src[7];
    const std::uint32_t rate = adx_read_long(src + 8);
    std::uint32_t count = adx_read_long(src + 12);
    // Keep the WAV size fields (data size + 36) inside 32 bits.
    const std::uint32_t max_count = (0xFFFFFFFFu - 36) / (2 * channels);
    if (count > max_count) count = max_count;
    const std::uint32_t data_bytes = 2 * channels * count;

    put_le32(wavhdr + 4, data_bytes + 36);
    put_le16(wavhdr + 22, channels);
    put_le32(wavhdr + 24, rate);
    put_le32(wavhdr + 28, 2 * channels * rate);
    put_le16(wavhdr + 32, 2 * channels);
    put_le32(wavhdr + 40, data_bytes);
    header_pos = std::ftell(wav);
    std::fwrite(wavhdr, 1, wav_header_bytes, wav);

    conv = channels == 1 ? convert_mono : convert_stereo;
    size = channels * count;
    written = 0;
    return adx_read_word(src + 2) + 4;
}

// When the stream ended short of its declared length, rewrite the two size
// fields to what was actually written, so the reader is not promised samples
// that never come.
void fix_short_header(std::FILE* wav)
{
    if (size == 0 || header_pos < 0) return;  // everything declared was written
    const long end = std::ftell(wav);
    if (end < 0) return;
    const std::uint32_t data_bytes = 2 * written;
    std::uint8_t field[4];
    put_le32(field, data_bytes + 36);
    if (std::fseek(wav, header_pos + 4, SEEK_SET) == 0) std::fwrite(field, 1, 4, wav);
    put_le32(field, data_bytes);
    if (std::fseek(wav, header_pos + 40, SEEK_SET) == 0) std::fwrite(field, 1, 4, wav);
    std::fseek(wav, end, SEEK_SET);
}

} // namespace

namespace {

// The nibble as a signed 4-bit value: 0..7 stay, 8..15 become -8..-1.
inline std::int32_t signed_nibble(int nibble)
{
    return (nibble ^ 8) - 8;
}

// One sample: (d * scale * 4576 + s1 * 29336 - s2 * 13136) >> 14, clamped.
// The sum is defined on wrapping 32-bit arithmetic, so it is formed in
// uint32_t (where wrapping is well defined) and shifted as a signed value.
// step is scale * 4576, which fits 32 bits for any 16-bit scale.
inline std::int32_t next_sample(std::int32_t d, std::uint32_t step, std::int32_t s1, std::int32_t s2)
{
    const std::uint32_t sum = static_cast<std::uint32_t>(d) * step +
                              static_cast<std::uint32_t>(s1) * static_cast<std::uint32_t>(weight_s1) -
                              static_cast<std::uint32_t>(s2) * static_cast<std::uint32_t>(weight_s2);
    const std::int32_t v = static_cast<std::int32_t>(sum) >> 14;
    return v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
}

inline std::uint32_t frame_step(const std::uint8_t* frame)
{
    return static_cast<std::uint32_t>(adx_read_word(frame)) * static_cast<std::uint32_t>(step_factor);
}

} // namespace

std::int16_t* convert(std::int16_t* out, const std::uint8_t* frame, int* hist)
{
    const std::uint32_t step = frame_step(frame);
    std::int32_t s1 = hist[0];
    std::int32_t s2 = hist[1];
    for (int i = 0; i < 16; ++i) {
        const int byte = frame[2 + i];
        s2 = next_sample(signed_nibble(byte >> 4), step, s1, s2);  // high nibble first
        s1 = next_sample(signed_nibble(byte & 0x0F), step, s2, s1);
        *out++ = static_cast<std::int16_t>(s2);
        *out++ = static_cast<std::int16_t>(s1);
    }
    hist[0] = s1;
    hist[1] = s2;
    return out;
}

void convert_mono(std::int16_t* out, const std::uint8_t* unit, int* prev_hist)
{
    out = convert(out, unit, prev_hist);
    convert(out, unit + 18, prev_hist);
}

void convert_stereo(std::int16_t* out, const std::uint8_t* unit, int* prev_hist)
{
    // The same decoding as convert on each frame, the left and right channels
    // side by side so that their independent predictor chains overlap.
    const std::uint8_t* left = unit;
    const std::uint8_t* right = unit + 18;
    const std::uint32_t left_step = frame_step(left);
    const std::uint32_t right_step = frame_step(right);
    std::int32_t l1 = prev_hist[0];
    std::int32_t l2 = prev_hist[1];
    std::int32_t r1 = prev_hist[2];
    std::int32_t r2 = prev_hist[3];
    for (int i = 0; i < 16; ++i) {
        const int lb = left[2 + i];
        const int rb = right[2 + i];
        l2 = next_sample(signed_nibble(lb >> 4), left_step, l1, l2);
        r2 = next_sample(signed_nibble(rb >> 4), right_step, r1, r2);
        l1 = next_sample(signed_nibble(lb & 0x0F), left_step, l2, l1);
        r1 = next_sample(signed_nibble(rb & 0x0F), right_step, r2, r1);
        out[0] = static_cast<std::int16_t>(l2);
        out[1] = static_cast<std::int16_t>(r2);
        out[2] = static_cast<std::int16_t>(l1);
        out[3] = static_cast<std::int16_t>(r1);
        out += 4;
    }
    prev_hist[0] = l1;
    prev_hist[1] = l2;
    prev_hist[2] = r1;
    prev_hist[3] = r2;
}

void adx_write_init()
{
    first_time = 1;
}

int adx_write(std::FILE* wav, const std::uint8_t* src, int len)
{
    const bool end_of_stream = src == nullptr;
    if (first_time) {
        if (!is_adx_header(src, len)) {
            std::printf("not adx!");
            return -1;
        }
        const int skip = start_stream(wav, src);
        src += skip;
        len -= skip;
    }

    std::int16_t out[unit_values];
    if (end_of_stream) {
        // Complete a held-back unit with zeros, never with bytes from outside the stream.
        if (inptr > 0) {
            std::memset(inbuf + inptr, 0, unit_bytes - inptr);
            conv(out, inbuf, prev);
            inptr = 0;
            write_unit(wav, out);
        }
        fix_short_header(wav);
        return 0;
    }

    if (inptr > 0) {
        const int need = unit_bytes - inptr;
        const int take = len < need ? len : need;
        std::memcpy(inbuf + inptr, src, static_cast<std::size_t>(take));
        inptr += take;
        src += take;
        len -= take;
        if (inptr < unit_bytes) return 0; // still gathering the unit
        conv(out, inbuf, prev);
        inptr = 0;
        write_unit(wav, out);
    }
    while (len >= unit_bytes) {
        conv(out, src, prev);
        src += unit_bytes;
        len -= unit_bytes;
        write_unit(wav, out);
    }
    if (len > 0) {
        std::memcpy(inbuf, src, static_cast<std::size_t>(len));
        inptr = len;
    }
    return 0;
}
