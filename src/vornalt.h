// SFD -> MPEG-1 conversion: command line, conversion job, both passes, the
// sector field codec and the stream header reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Program-wide settings, changed only by the argument walk.
extern const char* encoder;
extern int verbose;

constexpr int sector_size = 2048;
constexpr int sector_header_size = 18;  // pack header, packet start code, packet length
constexpr int max_packet_length = sector_size - sector_header_size;  // 2030

// Start codes and stream codes, as the 32-bit values read_long gives.
constexpr std::uint32_t end_code = 0x1B9;
constexpr std::uint32_t pack_code = 0x1BA;
constexpr std::uint32_t system_header_code = 0x1BB;
constexpr std::uint32_t padding_code = 0x1BE;
constexpr std::uint32_t private2_code = 0x1BF;
constexpr std::uint32_t audio_code = 0x1C0;
constexpr std::uint32_t video_code = 0x1E0;
constexpr std::uint32_t sequence_header_code = 0x1B3;

// Field codec: big-endian fields and the 5-byte time-stamp form.
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
};

// Parses the packet header at p (the byte after the packet-length field),
// never looking at or past p[avail].
block_header skip_block_header(const std::uint8_t* p, int avail);

// The packet-length field of a sector, bounded to what the sector can hold.
int bounded_packet_length(const std::uint8_t* sector);

// Stream header reports.
int audio_info(const std::uint8_t* p);
int video_info(const std::uint8_t* p);

// The passes. Each works on the job's open files and its Sector buffer.
void demux_audio(std::FILE* input, std::FILE* wav, std::uint8_t* sector);
int probe_byte_rate(std::FILE* mp3, std::uint8_t* sector);
void remux_audio(std::FILE* input, std::FILE* mp3, std::FILE* output, std::uint8_t* sector, int byte_rate);

// Pass 2's state for one job.
struct remux_state {
    int byte_rate;
    std::int32_t audio_pts;
    int last_read;  // -1 until the first audio packet sets it
};
void replace_audio_packet(std::uint8_t* sector, std::FILE* mp3, std::FILE* output, remux_state& state);

// Command line and job.
std::string make_output_name(const char* input);
int vornalt(const char* input, const char* output);
int run(int argc, char** argv);
