#include "adxconv.h"

#include "mpeg.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr int frame_bytes = 18;

// Step factor of the standard level, multiplied with the nibble and the frame's scale.
constexpr std::int32_t step_factor = 4576;

// ADX stream header fields (big-endian), and the values of the kind this decoder decodes.
constexpr int copyright_offset_field = 2;  // O: "(c)CRI" ends at O + 4, where the frames start
constexpr int encoding_field = 4;
constexpr int block_size_field = 5;
constexpr int sample_bits_field = 6;
constexpr int decoded_encoding = 3;  // fixed prediction weights' ADPCM
constexpr int decoded_block_bytes = frame_bytes;
constexpr int decoded_bits = 4;
constexpr int channels_field = 7;
constexpr int sample_rate_field = 8;
constexpr int sample_count_field = 12;
constexpr int cutoff_field = 16;
constexpr int default_cutoff = 500;
constexpr int encryption_field = 19;  // in headers that reach it: 8 or 9 when the audio is encrypted

// WAV header fields, little-endian.
constexpr int riff_size_field = 4;
constexpr int wave_tag_field = 8;  // "WAVE", then the format chunk's "fmt "
constexpr int format_size_field = 16;
constexpr int format_field = 20;
constexpr int wav_channels_field = 22;
constexpr int wav_rate_field = 24;
constexpr int wav_byte_rate_field = 28;
constexpr int wav_align_field = 32;
constexpr int wav_bits_field = 34;
constexpr int data_tag_field = 36;
constexpr int wav_data_size_field = 40;
constexpr std::uint32_t pcm_format = 1;
constexpr std::uint32_t bits_per_sample = 16;

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

std::uint32_t get_le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// The 44-byte header of a WAV file of 16-bit PCM: RIFF, the format chunk, the data chunk.
void put_wav_header(std::uint8_t* h, std::uint32_t channels, std::uint32_t rate, std::uint32_t data_bytes)
{
    std::memcpy(h, "RIFF", 4);
    put_le32(h + riff_size_field, data_bytes + wav_header_bytes - wave_tag_field);  // the bytes after the field
    std::memcpy(h + wave_tag_field, "WAVEfmt ", 8);
    put_le32(h + format_size_field, data_tag_field - format_field);
    put_le16(h + format_field, pcm_format);
    put_le16(h + wav_channels_field, channels);
    put_le32(h + wav_rate_field, rate);
    put_le32(h + wav_byte_rate_field, 2 * channels * rate);
    put_le16(h + wav_align_field, 2 * channels);
    put_le16(h + wav_bits_field, bits_per_sample);
    std::memcpy(h + data_tag_field, "data", 4);
    put_le32(h + wav_data_size_field, data_bytes);
}

// The nibble as a signed 4-bit value: 0..7 stay, 8..15 become -8..-1.
inline std::int32_t signed_nibble(int nibble)
{
    return (nibble ^ 8) - 8;
}

inline std::int32_t clamp16(std::int32_t v)
{
    return std::clamp(v, -32768, 32767);
}

// One sample of the standard level: (d * scale * 4576 + s1 * w1 - s2 * w2)
// >> 14, clamped. The sum is defined on wrapping 32-bit arithmetic, so it is
// formed in uint32_t (where wrapping is well defined) and shifted as a signed
// value. step is scale * 4576, which fits 32 bits for any 16-bit scale.
//
// One sample of the full level: d * scale + ((s1 * w1 - s2 * w2) >> 14),
// clamped; step is the scale. No term wraps: |s| <= 32768 and the weights
// are at most 32768 and 16384, so the products stay below 2^30 and 2^29.
template <adx_level level>
inline std::int32_t next_sample(std::int32_t d, std::uint32_t step, std::int32_t s1, std::int32_t s2,
                                const adx_weights& w)
{
    if constexpr (level == adx_level::full) {
        return clamp16(d * static_cast<std::int32_t>(step) + ((s1 * w.s1 - s2 * w.s2) >> 14));
    } else {
        const std::uint32_t sum = static_cast<std::uint32_t>(d) * step +
                                  static_cast<std::uint32_t>(s1) * static_cast<std::uint32_t>(w.s1) -
                                  static_cast<std::uint32_t>(s2) * static_cast<std::uint32_t>(w.s2);
        return clamp16(static_cast<std::int32_t>(sum) >> 14);
    }
}

template <adx_level level>
inline std::uint32_t frame_step(const std::uint8_t* frame)
{
    const auto scale = static_cast<std::uint32_t>(read_word(frame));
    return level == adx_level::full ? scale : scale * static_cast<std::uint32_t>(step_factor);
}

// A sample as 16-bit little-endian bytes (one store where the host is little-endian).
inline void put_sample(std::uint8_t* out, std::int32_t v)
{
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    std::memcpy(out, bytes, sizeof bytes);
}

// Decodes one 18-byte frame into 32 samples (64 bytes) at out, using and
// updating the history at hist.
template <adx_level level>
void convert(std::uint8_t* out, const std::uint8_t* frame, std::int32_t* hist, const adx_weights& weights)
{
    const adx_weights w = weights;  // a copy: the stores to out could alias the caller's
    const std::uint32_t step = frame_step<level>(frame);
    std::int32_t s1 = hist[0];
    std::int32_t s2 = hist[1];
    for (int i = 0; i < 16; ++i) {
        const int byte = frame[2 + i];
        s2 = next_sample<level>(signed_nibble(byte >> 4), step, s1, s2, w);  // high nibble first
        s1 = next_sample<level>(signed_nibble(byte & 0x0F), step, s2, s1, w);
        put_sample(out, s2);
        put_sample(out + 2, s1);
        out += 4;
    }
    hist[0] = s1;
    hist[1] = s2;
}

template <adx_level level>
void convert_mono(std::uint8_t* out, const std::uint8_t* unit, std::int32_t* prev, const adx_weights& w)
{
    convert<level>(out, unit, prev, w);
    convert<level>(out + 64, unit + frame_bytes, prev, w);
}

// The left and right frames decoded side by side, so that their independent
// predictor chains overlap.
template <adx_level level>
void convert_stereo(std::uint8_t* out, const std::uint8_t* unit, std::int32_t* prev, const adx_weights& weights)
{
    const adx_weights w = weights;  // a copy: the stores to out could alias the caller's
    const std::uint8_t* left = unit;
    const std::uint8_t* right = unit + frame_bytes;
    const std::uint32_t left_step = frame_step<level>(left);
    const std::uint32_t right_step = frame_step<level>(right);
    std::int32_t l1 = prev[0];
    std::int32_t l2 = prev[1];
    std::int32_t r1 = prev[2];
    std::int32_t r2 = prev[3];
    for (int i = 0; i < 16; ++i) {
        const int lb = left[2 + i];
        const int rb = right[2 + i];
        l2 = next_sample<level>(signed_nibble(lb >> 4), left_step, l1, l2, w);
        r2 = next_sample<level>(signed_nibble(rb >> 4), right_step, r1, r2, w);
        l1 = next_sample<level>(signed_nibble(lb & 0x0F), left_step, l2, l1, w);
        r1 = next_sample<level>(signed_nibble(rb & 0x0F), right_step, r2, r1, w);
        put_sample(out, l2);
        put_sample(out + 2, r2);
        put_sample(out + 4, l1);
        put_sample(out + 6, r1);
        out += 8;
    }
    prev[0] = l1;
    prev[1] = l2;
    prev[2] = r1;
    prev[3] = r2;
}

// What the header check finds at the start of a chunk.
enum class header_check { none, decodable, refused };

// The header check: 0x80 first, "(c)CRI" just before the frames, one or two
// channels, and the whole header inside this chunk so nothing is read past
// it; then the kind of ADX that the decoder decodes, unencrypted. The kind
// of an ADX header is left in kind.
header_check check_header(const std::uint8_t* src, int len, adx_kind& kind)
{
    if (src == nullptr || len < 16 || src[0] != 0x80) return header_check::none;
    const int offset = read_word(src + copyright_offset_field);
    if (offset < 2 || len < offset + 4) return header_check::none;
    if (std::memcmp(src + offset - 2, "(c)CRI", 6) != 0) return header_check::none;
    const int channels = src[channels_field];
    if (channels != 1 && channels != 2) return header_check::none;
    const bool flagged = offset + 4 > encryption_field && (src[encryption_field] == 8 || src[encryption_field] == 9);
    kind = {src[encoding_field], src[block_size_field], src[sample_bits_field], flagged};
    const bool decoded = kind.encoding == decoded_encoding && kind.block_bytes == decoded_block_bytes &&
                         kind.bits == decoded_bits && !kind.encrypted;
    return decoded ? header_check::decodable : header_check::refused;
}

void flush_pcm(adx_writer& w, std::FILE* wav)
{
    std::fwrite(w.pcm, 1, static_cast<std::size_t>(w.pcm_used), wav);
    w.pcm_used = 0;
}

// Decodes one unit into the PCM block and keeps its first min(size, 64)
// values; a full block goes to the file.
void decode_unit(adx_writer& w, std::FILE* wav, const std::uint8_t* unit)
{
    w.conv(w.pcm + w.pcm_used, unit, w.prev, w.weights);
    const std::uint32_t k = std::min<std::uint32_t>(w.size, adx_unit_values);
    w.size -= k;
    w.written += k;
    w.pcm_used += static_cast<int>(2 * k);
    if (w.pcm_used >= pcm_block_bytes) flush_pcm(w, wav);
}

// Reads the header fields, writes the WAV header and arms the decoder.
// Returns the header length to skip.
int start_stream(adx_writer& w, std::FILE* wav, const std::uint8_t* src)
{
    const int header_length = read_word(src + copyright_offset_field) + 4;
    const std::uint32_t channels = src[channels_field];
    const std::uint32_t rate = read_long(src + sample_rate_field);
    std::uint32_t count = read_long(src + sample_count_field);
    const int cutoff = header_length >= cutoff_field + 2 ? read_word(src + cutoff_field) : default_cutoff;
    w.channels = channels;
    w.rate = rate;
    w.declared = count;
    // Keep the WAV size fields (data size + 36) inside 32 bits.
    count = std::min(count, (0xFFFFFFFFu - (wav_header_bytes - wave_tag_field)) / (2 * channels));
    put_wav_header(w.wavhdr, channels, rate, 2 * channels * count);
    std::fwrite(w.wavhdr, 1, wav_header_bytes, wav);

    w.first_time = false;
    w.conv = unit_decoder_for(static_cast<int>(channels), w.level);
    // The standard level keeps the fixed weights for the common 44100 Hz
    // with 500 Hz, as earlier conversions decoded it.
    const bool common = rate == 44100 && cutoff == default_cutoff;
    w.weights = w.level == adx_level::standard && common ? fixed_weights : adx_weights_for(rate, cutoff);
    w.size = channels * count;
    return header_length;
}

// The WAV header again at the file's start, with the sizes of what was
// written: when the stream ended short of its declared length, the reader is
// not promised samples that never come. It is the writer's last write.
void fix_short_header(adx_writer& w, std::FILE* wav)
{
    put_le32(w.wavhdr + riff_size_field, 2 * w.written + wav_header_bytes - wave_tag_field);
    put_le32(w.wavhdr + wav_data_size_field, 2 * w.written);
    std::fseek(wav, 0, SEEK_SET);
    std::fwrite(w.wavhdr, 1, wav_header_bytes, wav);
}

}  // namespace

bool read_wav_header(const std::uint8_t* p, wav_format& format)
{
    format.channels = p[wav_channels_field];  // its high byte must be 0, as in the header made
    format.sample_rate = get_le32(p + wav_rate_field);
    format.data_bytes = get_le32(p + wav_data_size_field);
    // The header is one that the writer makes of these values, sizes aside.
    std::uint8_t made[wav_header_bytes];
    put_wav_header(made, static_cast<std::uint32_t>(format.channels), format.sample_rate, format.data_bytes);
    return std::memcmp(p, made, riff_size_field) == 0 &&
           std::memcmp(p + wave_tag_field, made + wave_tag_field, wav_header_bytes - wave_tag_field) == 0 &&
           (format.channels == 1 || format.channels == 2);
}

adx_weights adx_weights_for(std::uint32_t sample_rate, int cutoff)
{
    if (sample_rate == 0 || cutoff == 0) return fixed_weights;
    // The second-order predictor of a high-pass at the cutoff, rounded to 1/4096.
    const double a = std::numbers::sqrt2 - std::cos(2 * std::numbers::pi * cutoff / sample_rate);
    const double b = std::numbers::sqrt2 - 1;
    const double c = (a - std::sqrt((a + b) * (a - b))) / b;
    return {static_cast<std::int32_t>(4 * std::lround(2 * c * 4096)),
            static_cast<std::int32_t>(4 * std::lround(c * c * 4096))};
}

unit_decoder unit_decoder_for(int channels, adx_level level)
{
    if (level == adx_level::full)
        return channels == 1 ? convert_mono<adx_level::full> : convert_stereo<adx_level::full>;
    return channels == 1 ? convert_mono<adx_level::standard> : convert_stereo<adx_level::standard>;
}

void adx_write_init(adx_writer& w, adx_level level)
{
    w = adx_writer{};  // no header yet, nothing owed or written, no history, nothing held
    w.first_time = true;
    w.level = level;
}

bool adx_write(adx_writer& w, std::FILE* wav, const std::uint8_t* src, int len)
{
    const bool end_of_stream = src == nullptr;
    if (w.first_time) {
        adx_kind kind{};
        const header_check check = check_header(src, len, kind);
        if (check == header_check::refused && !w.refused) {
            w.refused = true;
            w.kind = kind;
        }
        if (check != header_check::decodable) return false;
        const int skip = start_stream(w, wav, src);
        src += skip;
        len -= skip;
    }

    if (end_of_stream) {
        // Complete a held-back unit with zeros, never with bytes from outside the stream.
        if (w.inptr > 0) {
            std::memset(w.inbuf + w.inptr, 0, static_cast<std::size_t>(adx_unit_bytes - w.inptr));
            w.inptr = 0;
            decode_unit(w, wav, w.inbuf);
        }
        flush_pcm(w, wav);
        fix_short_header(w, wav);
        return true;
    }

    // The first unit is gathered in inbuf: it completes the part held back
    // from earlier chunks, if any.
    const int take = std::min(len, adx_unit_bytes - w.inptr);
    std::memcpy(w.inbuf + w.inptr, src, static_cast<std::size_t>(take));
    w.inptr += take;
    src += take;
    len -= take;
    if (w.inptr < adx_unit_bytes) return true;  // still gathering the unit
    decode_unit(w, wav, w.inbuf);
    for (; len >= adx_unit_bytes; src += adx_unit_bytes, len -= adx_unit_bytes) decode_unit(w, wav, src);
    std::memcpy(w.inbuf, src, static_cast<std::size_t>(len));
    w.inptr = len;
    return true;
}
