// Builds SFD movies for tests, the sample and the benchmark: one pack with
// one packet per 2048-byte sector, the packet header in a chosen form.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

namespace sfd {

using sector = std::array<std::uint8_t, 2048>;

enum class stamps { none, pts, pts_dts };

// Shape of a packet header: stuffing bytes, optional buffer field, stamps.
struct header_form {
    int stuffing = 0;
    bool buffer = true;
    stamps stamp = stamps::pts;
};

std::vector<std::uint8_t> packet_header(const header_form& form, std::uint32_t pts, std::uint32_t dts = 0);

// A pack header with the given clock reference and a packet of stream_code
// made of header + payload. The packet-length field is header + payload
// unless length_field >= 0 overrides it. Room left in the sector after the
// packet becomes a padding packet (or 0xFF bytes when it is too small).
sector packet_sector(std::uint32_t stream_code, std::span<const std::uint8_t> header,
                     std::span<const std::uint8_t> payload, std::uint32_t scr = 0, int length_field = -1);

sector system_header_sector();
sector end_sector();

// Room for payload in a packet that fills its sector.
int payload_room(const header_form& form);

struct mux_options {
    header_form audio_form{};
    header_form video_form{0, true, stamps::pts};
    bool end_code = true;
};

// Muxes an MPEG-1 video elementary stream and an ADX stream into SFD
// sectors, interleaved by time, each stream stamped from its own rate.
std::vector<sector> mux(std::span<const std::uint8_t> video, std::span<const std::uint8_t> adx,
                        const mux_options& options = {});

bool write_file(const char* path, std::span<const sector> sectors);
std::vector<std::uint8_t> read_file(const char* path);

} // namespace sfd
