// MPEG stream fields: the sector layout and its codes, the big-endian field
// codec and time stamps, the packet-header parser, and the reports of the
// MPEG audio frame header and the video sequence header. Bytes in, values
// out: nothing here touches a file.
#pragma once

#include "messages.h"

#include <cstdint>
#include <string>
#include <vector>

// One pack with one packet per sector.
constexpr int sector_size = 2048;
constexpr int stream_code_offset = 12;    // the packet's start code, 00 00 01 xx
constexpr int packet_length_offset = 16;  // bytes of the packet after this field
constexpr int packet_header_offset = 18;  // stuffing, buffer field, stamps; then the payload
constexpr int max_packet_length = sector_size - packet_header_offset;  // 2030: the packet fills its sector

// Start codes and stream codes, as the 32-bit values read_long gives.
constexpr std::uint32_t end_code = 0x1B9;
constexpr std::uint32_t pack_code = 0x1BA;
constexpr std::uint32_t system_header_code = 0x1BB;
constexpr std::uint32_t padding_code = 0x1BE;
constexpr std::uint32_t private2_code = 0x1BF;
constexpr std::uint32_t audio_code = 0x1C0;
constexpr std::uint32_t video_code = 0x1E0;
constexpr std::uint32_t sequence_header_code = 0x1B3;

// High nibbles of a stamp's first byte: a presentation stamp alone, the
// presentation stamp of a pair, the decoding stamp of a pair.
constexpr int pts_only_prefix = 0x20;
constexpr int pts_of_pair_prefix = 0x30;
constexpr int dts_of_pair_prefix = 0x10;
constexpr int stamp_bytes = 5;

// Big-endian fields and the 5-byte time-stamp form (32 of its 33 bits).
std::uint32_t read_long(const std::uint8_t* p);
int read_word(const std::uint8_t* p);
void write_word(std::uint8_t* p, int v);
std::uint32_t read_timestamp(const std::uint8_t* p);
void write_timestamp(std::uint8_t* p, std::uint32_t ts, int prefix);

// Which time stamps a packet header ends in.
enum class stamp_form { none, pts, pts_dts };

struct block_header {
    int length;       // header bytes; the payload starts at p + length
    stamp_form form;  // stamps found right before the payload
    int stuffing;     // 0xFF bytes that start the header
};

// Parses the packet header at p (the byte after the packet-length field),
// never looking at or past p[avail]; an unknown header byte is reported to log.
block_header skip_block_header(const std::uint8_t* p, int avail, messages& log);

// The packet-length field of a sector, bounded to what the sector can hold.
int bounded_packet_length(const std::uint8_t* sector);

// Writes a padding packet over sector[from, sector_size); needs at least
// padding_min bytes of room.
constexpr int padding_min = 6;
void write_padding(std::uint8_t* sector, int from);

// The bit rate in bit/s of the MPEG audio frame header at p, -1 without
// frame sync; every field is reported to report unless it is null.
int audio_info(const std::uint8_t* p, messages* report);
// Whether the 4 bytes at p are an MPEG audio frame header: frame sync, a
// layer, a bit-rate index other than 15 and a sampling-frequency index other
// than 3.
bool is_frame_header(const std::uint8_t* p);

// The bit rates in kbit/s, ascending, that MPEG audio layer II has for a
// sampling rate in Hz and a channel count (1: mono, 2: stereo); none when
// layer II can't carry that sampling rate.
std::vector<int> layer2_bit_rates(int sample_rate, int channels);

// Reports the fields of the video sequence header whose code ends before p,
// unless report is null.
void video_info(const std::uint8_t* p, messages* report);

// What precedes the audio in an encoded stream. Each looks at the avail
// bytes at p only and returns the bytes to skip (0: nothing to skip).
constexpr int id3_header_bytes = 10;
int id3_tag_length(const std::uint8_t* p, int avail);
// A layer III frame that holds the "Info" tag: a constant-bit-rate tag frame.
int info_frame_length(const std::uint8_t* p, int avail);
// Whether the frame at p is a layer III "Xing" or "VBRI" variable-bit-rate tag frame.
bool is_vbr_tag_frame(const std::uint8_t* p, int avail);
// Bytes that the tag checks need from the start of a frame: the furthest tag
// offset (36, plus 2 for a check word) and the tag's 4 bytes.
constexpr int tag_probe_bytes = 42;
