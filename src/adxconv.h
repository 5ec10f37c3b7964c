// ADX ADPCM decoding and the streaming ADX -> WAV writer.
#pragma once

#include <cstdint>
#include <cstdio>

// Decodes one 18-byte ADX frame into 32 samples at out, using and updating
// the two history values at hist (hist[0] = last sample, hist[1] = the one
// before it). Returns the position after the last sample written.
std::int16_t* convert(std::int16_t* out, const std::uint8_t* frame, int* hist);

// Unit decoders: one 36-byte unit into 64 sample values. Mono decodes two
// frames of one channel with prev[0..1]; stereo decodes a left frame with
// prev[0..1] and a right frame with prev[2..3] and interleaves them.
void convert_mono(std::int16_t* out, const std::uint8_t* unit, int* prev);
void convert_stereo(std::int16_t* out, const std::uint8_t* unit, int* prev);

// Re-arms the writer: the next chunk must start with an ADX header.
void adx_write_init();

// Consumes len bytes at src as the next part of the ADX stream and writes
// the WAV header and 16-bit PCM to wav. adx_write(wav, nullptr, 0) marks the
// end of the stream: a held-back partial unit is completed with zeros and
// written, and the WAV header is corrected if fewer samples came than the
// ADX header declared. Returns -1 when the header check fails, else 0.
int adx_write(std::FILE* wav, const std::uint8_t* src, int len);
