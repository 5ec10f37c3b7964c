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

// The weights an encoder derives from the stream's sample rate and the
// high-pass cutoff (Hz) in its header; 44100 Hz with cutoff 500, and a rate
// or cutoff of 0, give the fixed 29336 and 13136.
adx_weights adx_weights_for(std::uint32_t sample_rate, int cutoff);

// Decodes one 18-byte ADX frame into 32 samples at out, using and updating
// the two history values at hist (hist[0] = last sample, hist[1] = the one
// before it). Returns the position after the last sample written.
std::int16_t* convert(std::int16_t* out, const std::uint8_t* frame, int* hist, const adx_weights& w);

// Unit decoders: one 36-byte unit into 64 sample values. Mono decodes two
// frames of one channel with prev[0..1]; stereo decodes a left frame with
// prev[0..1] and a right frame with prev[2..3] and interleaves them.
void convert_mono(std::int16_t* out, const std::uint8_t* unit, int* prev, const adx_weights& w);
void convert_stereo(std::int16_t* out, const std::uint8_t* unit, int* prev, const adx_weights& w);

// Re-arms the writer: every field is reset and the next chunk must start
// with an ADX header.
void adx_write_init();

// Consumes len bytes at src as the next part of the ADX stream and writes
// the WAV header and 16-bit PCM to wav. adx_write(wav, nullptr, 0) marks the
// end of the stream: a held-back partial unit is completed with zeros and
// written, and the WAV header is corrected if fewer samples came than the
// ADX header declared. Returns -1 when the header check fails, else 0.
int adx_write(std::FILE* wav, const std::uint8_t* src, int len);
