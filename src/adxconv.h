// ADX ADPCM decoding and the streaming ADX -> WAV writer.
#pragma once

#include <cstdint>
#include <cstdio>

// Prediction weights of a stream, in units of 1/16384: s1 is the last
// sample, s2 the one before it (subtracted).
struct adx_weights {
    std::int32_t s1;
    std::int32_t s2;
};

// The fixed weights, which the default level uses for 44100 Hz with a
// 500 Hz cutoff and for a header whose rate or cutoff is 0.
constexpr adx_weights fixed_weights = {29336, 13136};

// The weights an encoder derives from the stream's sample rate and the
// high-pass cutoff (Hz) in its header; a rate or cutoff of 0 gives the
// fixed weights.
adx_weights adx_weights_for(std::uint32_t sample_rate, int cutoff);

// The level a stream decodes at. The default scales every step by 4576/16384
// (0.28 of the stream's level, as earlier conversions have it); full takes
// the step as the stream states it, as the game plays it.
enum class adx_level { standard, full };

// Unit decoders: one 36-byte unit into 64 sample values, written as 128
// little-endian bytes at out. Mono decodes two frames of one channel with
// prev[0..1]; stereo decodes a left frame with prev[0..1] and a right frame
// with prev[2..3] and interleaves them.
using unit_decoder = void (*)(std::uint8_t* out, const std::uint8_t* unit, std::int32_t* prev, const adx_weights& w);
unit_decoder unit_decoder_for(int channels, adx_level level);

constexpr int adx_unit_bytes = 36;
constexpr int adx_unit_values = 64;
// Decoded PCM is gathered and handed to the WAV file in blocks of this size.
constexpr int pcm_block_bytes = 64 * 1024;

// The WAV file's 44-byte header, as the writer makes it: RIFF, a format
// chunk of 16-bit PCM, the data chunk.
constexpr int wav_header_bytes = 44;
struct wav_format {
    int channels;
    std::uint32_t sample_rate;
    std::uint32_t data_bytes;
};
// Reads such a header at p; false when it is not one of 16-bit PCM in one or two channels.
bool read_wav_header(const std::uint8_t* p, wav_format& format);

// What an ADX header holds that this decoder does not decode: its encoding
// type (the decoder's is 3), block size (18 bytes), bits a sample (4), and
// whether it says that the audio is encrypted.
struct adx_kind {
    int encoding;
    int block_bytes;
    int bits;
    bool encrypted;
};

// The writer's whole state for one stream, reset by adx_write_init.
struct adx_writer {
    bool first_time;  // the next chunk must start with a header
    adx_level level;
    bool refused;   // a header of ADX audio that the decoder can't decode came first: kind tells it
    adx_kind kind;  // of the first such header
    std::uint32_t channels;
    std::uint32_t rate;                     // sample rate, Hz
    std::uint32_t declared;                 // samples a channel that the header declares
    std::uint32_t size;                     // sample values still to be written
    std::uint32_t written;                  // sample values written since the header
    std::uint8_t wavhdr[wav_header_bytes];  // the WAV header as written
    unit_decoder conv;
    adx_weights weights;
    std::int32_t prev[4];                // predictor history of both channels
    std::uint8_t inbuf[adx_unit_bytes];  // a partial unit held back between chunks
    int inptr;                           // bytes held in inbuf
    int pcm_used;                        // bytes waiting in pcm
    std::uint8_t pcm[pcm_block_bytes + 2 * adx_unit_values];
};

// Re-arms the writer: every field is reset and the next chunk must start
// with an ADX header.
void adx_write_init(adx_writer& w, adx_level level);

// Consumes len bytes at src as the next part of the ADX stream and writes
// the WAV header and 16-bit PCM to wav, which is empty when the stream
// starts. adx_write(w, wav, nullptr, 0) marks
// the end of the stream: a held-back partial unit is completed with zeros,
// the PCM still held is written, and the WAV header is corrected if fewer
// samples came than the ADX header declared. Returns false when the header
// check fails: the chunk is not the start of an ADX stream, or of one that
// the decoder can decode (then the writer keeps the first such header's kind).
bool adx_write(adx_writer& w, std::FILE* wav, const std::uint8_t* src, int len);
