// The two passes over an SFD movie and the probe of the encoded audio, each
// on files that the job has opened, with the job's Sector buffer.
#pragma once

#include "adxconv.h"
#include "movie.h"
#include "mpeg.h"

#include <cstdint>
#include <cstdio>
#include <optional>

// What pass 1 found of a movie's audio.
enum class found_audio {
    adx,          // an ADX stream, decoded into the WAV file
    copyable,     // no ADX, but video without audio packets, or MPEG audio in them: pass 2 copies them
    undecodable,  // ADX of a kind that the decoder can't decode (the writer keeps which), and none that it can
    none,         // neither: damaged ADX, or no video either
};

struct pass1_result {
    found_audio audio;
    std::string read_error;  // why a read error of the input stopped the pass; empty: read to its end
};

// Pass 1: every audio payload of the input to the ADX writer, re-armed for
// the given level, which writes wav. A read error stops it at once, before
// the writer's end.
pass1_result demux_audio(movie_source& input, std::FILE* wav, std::uint8_t* sector, adx_writer& writer, adx_level level,
                         messages& log);

// What the probe found where the encoded audio starts.
struct audio_probe {
    int byte_rate;  // bytes per second; 0 or less when no usable frame header is there
    bool variable;  // the first frame is a variable-bit-rate tag frame
};

// Skips an ID3v2 tag and an "Info" tag frame at the start of mp3, reads the
// frame header where the audio starts (reporting it to report unless that is
// null) and leaves mp3 at that position.
audio_probe probe_byte_rate(std::FILE* mp3, std::uint8_t* sector, messages* report);

// Pass 2's state for one job.
struct remux_state {
    messages& log;
    int byte_rate;
    std::int32_t audio_pts;        // the audio clock, 90 kHz ticks
    std::optional<int> last_read;  // encoded bytes in the last written audio packet; none before the first
    bool clock_started = false;    // the first stamped audio packet has set the clock's origin
    int mp3_error = 0;             // the error number of a read or seek error of the encoded audio
};

// Pass 2 on one audio sector: fills it with the next encoded bytes and the
// clock's stamp and writes it, or leaves it out (also when reading the
// encoded audio fails: then state.mp3_error tells why).
void replace_audio_packet(std::uint8_t* sector, std::FILE* mp3, std::FILE* output, remux_state& state);

struct pass2_result {
    long rest;                // encoded bytes that found no room
    std::string input_error;  // why a read error of the input stopped the pass; empty: none
    int mp3_error;            // the error number of a read or seek error of the encoded audio that did; 0: none
};

// Pass 2: the input's sectors to output with the audio from mp3, or with
// the audio sectors as they stand when mp3 is null. Prints the "rest:"
// report, unless a read error stopped it at once.
pass2_result remux_audio(movie_source& input, std::FILE* mp3, std::FILE* output, std::uint8_t* sector, int byte_rate,
                         messages& log, bool verbose);
