#include "adxconv.h"

#include "mpeg.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr int frame_bytes = 18;
constexpr int unit_bytes = 2 * frame_bytes;
constexpr int unit_values = 64;

// Step factor, multiplied with the nibble and the frame's scale.
constexpr std::int32_t step_factor = 4576;
// The weights of 44100 Hz with a 500 Hz cutoff, the common case.
constexpr adx_weights fixed_weights = {29336, 13136};

// ADX stream header fields (big-endian).
constexpr int copyright_offset_field = 2;  // O: "(c)CRI" ends at O + 4, where the frames start
constexpr int channels_field = 7;
constexpr int sample_rate_field = 8;
constexpr int sample_count_field = 12;
constexpr int cutoff_field = 16;
constexpr int default_cutoff = 500;

// WAV header, little-endian, with the fields that the ADX header fills in.
constexpr int wav_header_bytes = 44;
constexpr int riff_size_field = 4;
constexpr int wav_channels_field = 22;
constexpr int wav_rate_field = 24;
constexpr int wav_byte_rate_field = 28;
constexpr int wav_align_field = 32;
constexpr int wav_data_size_field = 40;
constexpr std::uint8_t wav_template[wav_header_bytes] = {
    'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
    16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0,
    4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0,
};

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

using unit_decoder = void (*)(std::int16_t*, const std::uint8_t*, int*, const adx_weights&);

// The writer's whole state: one stream at a time, reset by adx_write_init.
struct adx_writer {
    bool first_time = true;          // the next chunk must start with a header
    std::uint32_t size = 0;          // sample values still to be written
    std::uint32_t written = 0;       // sample values written since the header
    long header_pos = -1;            // where the WAV header stands in the file
    unit_decoder conv = convert_mono;
    adx_weights weights = fixed_weights;
    int prev[4] = {};                // predictor history of both channels
    std::uint8_t inbuf[unit_bytes] = {};  // a partial unit held back between chunks
    int inptr = 0;                   // bytes held in inbuf
};

adx_writer writer;

// The header check: 0x80 first, "(c)CRI" just before the frames, one or two
// channels, and the whole header inside this chunk so nothing is read past it.
bool is_adx_header(const std::uint8_t* src, int len)
{
    if (src == nullptr || len < 16 || src[0] != 0x80) return false;
    const int offset = read_word(src + copyright_offset_field);
    if (offset < 2 || len < offset + 4) return false;
    if (std::memcmp(src + offset - 2, "(c)CRI", 6) != 0) return false;
    const int channels = src[channels_field];
    return channels == 1 || channels == 2;
}

// Writes the first min(size, 64) values of one decoded unit, little-endian.
void write_unit(std::FILE* wav, const std::int16_t* out)
{
    const std::uint32_t k = writer.size < unit_values ? writer.size : unit_values;
    writer.size -= k;
    writer.written += k;
    std::uint8_t bytes[unit_values * 2];
    for (std::uint32_t i = 0; i < k; ++i) put_le16(bytes + 2 * i, static_cast<std::uint16_t>(out[i]));
    std::fwrite(bytes, 2, k, wav);
}

// Reads the header fields, writes the WAV header and arms the decoder.
// Returns the header length to skip.
int start_stream(std::FILE* wav, const std::uint8_t* src)
{
    const int header_length = read_word(src + copyright_offset_field) + 4;
    const std::uint32_t channels = src[channels_field];
    const std::uint32_t rate = read_long(src + sample_rate_field);
    std::uint32_t count = read_long(src + sample_count_field);
    const int cutoff = header_length >= cutoff_field + 2 ? read_word(src + cutoff_field) : default_cutoff;
    // Keep the WAV size fields (data size + 36) inside 32 bits.
    const std::uint32_t max_count = (0xFFFFFFFFu - 36) / (2 * channels);
    if (count > max_count) count = max_count;
    const std::uint32_t data_bytes = 2 * channels * count;

    std::uint8_t wavhdr[wav_header_bytes];
    std::memcpy(wavhdr, wav_template, sizeof wavhdr);
    put_le32(wavhdr + riff_size_field, data_bytes + 36);
    put_le16(wavhdr + wav_channels_field, channels);
    put_le32(wavhdr + wav_rate_field, rate);
    put_le32(wavhdr + wav_byte_rate_field, 2 * channels * rate);
    put_le16(wavhdr + wav_align_field, 2 * channels);
    put_le32(wavhdr + wav_data_size_field, data_bytes);
    writer.header_pos = std::ftell(wav);
    std::fwrite(wavhdr, 1, wav_header_bytes, wav);

    writer.first_time = false;
    writer.conv = channels == 1 ? convert_mono : convert_stereo;
    writer.weights = adx_weights_for(rate, cutoff);
    writer.size = channels * count;
    return header_length;
}

// When the stream ended short of its declared length, rewrite the two size
// fields to what was actually written, so the reader is not promised samples
// that never come.
void fix_short_header(std::FILE* wav)
{
    if (writer.size == 0 || writer.header_pos < 0) return;  // everything declared was written
    const long end = std::ftell(wav);
    if (end < 0) return;
    const std::uint32_t data_bytes = 2 * writer.written;
    std::uint8_t field[4];
    put_le32(field, data_bytes + 36);
    if (std::fseek(wav, writer.header_pos + riff_size_field, SEEK_SET) == 0) std::fwrite(field, 1, 4, wav);
    put_le32(field, data_bytes);
    if (std::fseek(wav, writer.header_pos + wav_data_size_field, SEEK_SET) == 0) std::fwrite(field, 1, 4, wav);
    std::fseek(wav, end, SEEK_SET);
}

// The nibble as a signed 4-bit value: 0..7 stay, 8..15 become -8..-1.
inline std::int32_t signed_nibble(int nibble)
{
    return (nibble ^ 8) - 8;
}

// One sample: (d * scale * 4576 + s1 * w1 - s2 * w2) >> 14, clamped.
// The sum is defined on wrapping 32-bit arithmetic, so it is formed in
// uint32_t (where wrapping is well defined) and shifted as a signed value.
// step is scale * 4576, which fits 32 bits for any 16-bit scale.
inline std::int32_t next_sample(std::int32_t d, std::uint32_t step, std::int32_t s1, std::int32_t s2,
                                const adx_weights& w)
{
    const std::uint32_t sum = static_cast<std::uint32_t>(d) * step +
                              static_cast<std::uint32_t>(s1) * static_cast<std::uint32_t>(w.s1) -
                              static_cast<std::uint32_t>(s2) * static_cast<std::uint32_t>(w.s2);
    const std::int32_t v = static_cast<std::int32_t>(sum) >> 14;
    return v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
}

inline std::uint32_t frame_step(const std::uint8_t* frame)
{
    return static_cast<std::uint32_t>(read_word(frame)) * static_cast<std::uint32_t>(step_factor);
}

} // namespace

adx_weights adx_weights_for(std::uint32_t sample_rate, int cutoff)
{
    if ((sample_rate == 44100 && cutoff == default_cutoff) || sample_rate == 0 || cutoff == 0) return fixed_weights;
    // The second-order predictor of a high-pass at the cutoff, rounded to 1/4096.
    const double a = std::numbers::sqrt2 - std::cos(2 * std::numbers::pi * cutoff / sample_rate);
    const double b = std::numbers::sqrt2 - 1;
    const double c = (a - std::sqrt((a + b) * (a - b))) / b;
    return {static_cast<std::int32_t>(4 * std::lround(2 * c * 4096)),
            static_cast<std::int32_t>(4 * std::lround(c * c * 4096))};
}

std::int16_t* convert(std::int16_t* out, const std::uint8_t* frame, int* hist, const adx_weights& w)
{
    const std::uint32_t step = frame_step(frame);
    std::int32_t s1 = hist[0];
    std::int32_t s2 = hist[1];
    for (int i = 0; i < 16; ++i) {
        const int byte = frame[2 + i];
        s2 = next_sample(signed_nibble(byte >> 4), step, s1, s2, w);  // high nibble first
        s1 = next_sample(signed_nibble(byte & 0x0F), step, s2, s1, w);
        *out++ = static_cast<std::int16_t>(s2);
        *out++ = static_cast<std::int16_t>(s1);
    }
    hist[0] = s1;
    hist[1] = s2;
    return out;
}

void convert_mono(std::int16_t* out, const std::uint8_t* unit, int* prev, const adx_weights& w)
{
    out = convert(out, unit, prev, w);
    convert(out, unit + frame_bytes, prev, w);
}

void convert_stereo(std::int16_t* out, const std::uint8_t* unit, int* prev, const adx_weights& w)
{
    // The same decoding as convert on each frame, the left and right channels
    // side by side so that their independent predictor chains overlap.
    const std::uint8_t* left = unit;
    const std::uint8_t* right = unit + frame_bytes;
    const std::uint32_t left_step = frame_step(left);
    const std::uint32_t right_step = frame_step(right);
    std::int32_t l1 = prev[0];
    std::int32_t l2 = prev[1];
    std::int32_t r1 = prev[2];
    std::int32_t r2 = prev[3];
    for (int i = 0; i < 16; ++i) {
        const int lb = left[2 + i];
        const int rb = right[2 + i];
        l2 = next_sample(signed_nibble(lb >> 4), left_step, l1, l2, w);
        r2 = next_sample(signed_nibble(rb >> 4), right_step, r1, r2, w);
        l1 = next_sample(signed_nibble(lb & 0x0F), left_step, l2, l1, w);
        r1 = next_sample(signed_nibble(rb & 0x0F), right_step, r2, r1, w);
        out[0] = static_cast<std::int16_t>(l2);
        out[1] = static_cast<std::int16_t>(r2);
        out[2] = static_cast<std::int16_t>(l1);
        out[3] = static_cast<std::int16_t>(r1);
        out += 4;
    }
    prev[0] = l1;
    prev[1] = l2;
    prev[2] = r1;
    prev[3] = r2;
}

void adx_write_init()
{
    writer = adx_writer{};
}

int adx_write(std::FILE* wav, const std::uint8_t* src, int len)
{
    const bool end_of_stream = src == nullptr;
    if (writer.first_time) {
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
        if (writer.inptr > 0) {
            std::memset(writer.inbuf + writer.inptr, 0, static_cast<std::size_t>(unit_bytes - writer.inptr));
            writer.conv(out, writer.inbuf, writer.prev, writer.weights);
            writer.inptr = 0;
            write_unit(wav, out);
        }
        fix_short_header(wav);
        return 0;
    }

    if (writer.inptr > 0) {
        const int need = unit_bytes - writer.inptr;
        const int take = len < need ? len : need;
        std::memcpy(writer.inbuf + writer.inptr, src, static_cast<std::size_t>(take));
        writer.inptr += take;
        src += take;
        len -= take;
        if (writer.inptr < unit_bytes) return 0;  // still gathering the unit
        writer.conv(out, writer.inbuf, writer.prev, writer.weights);
        writer.inptr = 0;
        write_unit(wav, out);
    }
    while (len >= unit_bytes) {
        writer.conv(out, src, writer.prev, writer.weights);
        src += unit_bytes;
        len -= unit_bytes;
        write_unit(wav, out);
    }
    if (len > 0) {
        std::memcpy(writer.inbuf, src, static_cast<std::size_t>(len));
        writer.inptr = len;
    }
    return 0;
}
