// Builds SFD movies for the tests, the sample and the benchmark: one pack
// with one packet per 2048-byte sector, the packet header in a chosen form.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace sfd {

using bytes = std::vector<std::uint8_t>;
using sector = std::array<std::uint8_t, 2048>;

enum class stamps { none, pts, pts_dts };

// Shape of a packet header: stuffing bytes, optional buffer field, stamps.
struct header_form {
    int stuffing = 0;
    bool buffer = true;
    stamps stamp = stamps::pts;
};

bytes packet_header(const header_form& form, std::uint32_t pts, std::uint32_t dts = 0);

// A pack and one packet of stream_code made of header + payload; its length
// field is header + payload unless length_field >= 0. Room left behind the
// packet becomes a padding packet (0xFF bytes when fewer than 6 are left).
sector packet_sector(std::uint32_t stream_code, std::span<const std::uint8_t> header,
                     std::span<const std::uint8_t> payload, int length_field = -1, std::uint32_t scr = 0);
sector end_sector();

struct mux_options {
    header_form audio_form{};
    bool end_code = true;
    std::uint32_t start = 0;  // 90 kHz ticks added to every stamp, as muxers start late
};

// Muxes an MPEG-1 video elementary stream and an ADX stream into sectors
// after a system header, interleaved by time, each stamped from its own rate.
std::vector<sector> mux(std::span<const std::uint8_t> video, std::span<const std::uint8_t> adx,
                        const mux_options& options = {});
bytes flatten(std::span<const sector> sectors);

} // namespace sfd
