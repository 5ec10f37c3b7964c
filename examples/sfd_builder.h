// Builds SFD movies for the tests, the sample and the benchmark: one pack
// with one packet per 2048-byte sector.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace sfd {

using bytes = std::vector<std::uint8_t>;
using sector = std::array<std::uint8_t, 2048>;

inline void put_be(std::uint8_t* p, std::uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
}

// The 5-byte stamp: 3 + 15 + 15 bits, each group followed by a marker bit.
inline void put_stamp(std::uint8_t* p, std::uint32_t ts, int prefix)
{
    put_be(p, static_cast<std::uint32_t>(prefix) | (ts >> 29 & 6) | 1, 1);
    put_be(p + 1, (ts >> 15 & 0x7FFF) << 1 | 1, 2);
    put_be(p + 3, (ts & 0x7FFF) << 1 | 1, 2);
}

// A packet header: stuffing bytes, a buffer field or none, then 0x0F (no stamps), a stamp or a stamp pair.
inline bytes packet_header(int stuffing, bool buffer, int stamps, std::uint32_t pts = 0, std::uint32_t dts = 0)
{
    bytes h(static_cast<std::size_t>(stuffing), 0xFF);
    if (buffer) h.push_back(0x60), h.push_back(0x2E);  // buffer scale 1024, size 46 KiB
    h.resize(h.size() + 5 * static_cast<std::size_t>(stamps), 0x0F);
    if (stamps == 0) h.push_back(0x0F);
    if (stamps > 0) put_stamp(&h[h.size() - 5 * static_cast<std::size_t>(stamps)], pts, stamps == 1 ? 0x20 : 0x30);
    if (stamps > 1) put_stamp(&h[h.size() - 5], dts, 0x10);
    return h;
}

// A pack and one packet of header + payload, then a padding packet (or 0xFF
// bytes) to the sector end.
inline sector packet_sector(std::uint32_t code, std::span<const std::uint8_t> header,
                            std::span<const std::uint8_t> payload, std::uint32_t scr = 0)
{
    sector s{};
    bytes body(header.begin(), header.end());
    body.insert(body.end(), payload.begin(), payload.end());
    body.resize(std::min<std::size_t>(body.size(), 2030));
    const auto end = static_cast<std::uint32_t>(18 + body.size());
    put_be(s.data(), 0x1BA, 4);
    put_stamp(s.data() + 4, scr, 0x20);
    put_be(s.data() + 9, 0x800001 | 10000 << 1, 3);  // mux rate 10000 x 50 bytes/s
    put_be(s.data() + 12, code, 4);
    put_be(s.data() + 16, end - 18, 2);
    std::memcpy(s.data() + 18, body.data(), body.size());
    std::memset(s.data() + end, 0xFF, 2048 - end);
    if (end <= 2048 - 6) put_be(s.data() + end, 0x1BE, 4), put_be(s.data() + end + 4, 2048 - end - 6, 2);
    return s;
}

inline sector end_sector()
{
    sector s{};
    put_be(s.data(), 0x1B9, 4);
    return s;
}

inline bytes flatten(std::span<const sector> sectors)
{
    bytes out;
    for (const sector& s : sectors) out.insert(out.end(), s.begin(), s.end());
    return out;
}

// Pictures a second of an MPEG-1 picture-rate code; codes past 8 read as 25.
inline double picture_rate(int code)
{
    const double rates[9] = {25, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001, 60};
    return code < 9 ? rates[code] : 25;
}

// A system header, then video and ADX audio (or none) interleaved by time, each stamped
// from its own rate and start ticks later, audio 0.2 s ahead as players want it buffered; the end code.
inline bytes mux(std::span<const std::uint8_t> video, std::span<const std::uint8_t> adx, std::uint32_t start = 0)
{
    // ADX plays 18 bytes per 32 samples and channel; the video's rate code is in its sequence header.
    const double adx_rate =
        adx.empty() ? 1 : adx[7] * ((adx[8] << 24 | adx[9] << 16 | adx[10] << 8 | adx[11]) * 18.0 / 32);
    const double picture_rate = sfd::picture_rate(video[7] & 15);
    const std::uint8_t system_header[] = {0x80, 0x4E, 0x21, 0x04, 0xE1, 0xFF, 0xC0, 0xC0, 0x20, 0xE0, 0xE0, 0x2E};
    std::vector<sector> out = {packet_sector(0x1BB, system_header, {})};
    for (std::size_t apos = 0, vpos = 0, pictures = 0; apos < adx.size() || vpos < video.size();) {
        const auto scr = static_cast<std::uint32_t>(out.size() * 2048 * 90000 / 500000);
        const bool audio =
            apos < adx.size() && (vpos >= video.size() || apos / adx_rate - 0.2 <= pictures / picture_rate);
        std::size_t starts = 0;  // pictures (00 00 01 00) that start in the next video packet
        for (std::size_t i = vpos; i < std::min(vpos + 2023, video.size() - 3); ++i)
            starts += video[i] == 0 && video[i + 1] == 0 && video[i + 2] == 1 && video[i + 3] == 0;
        // A video packet is stamped with the first picture that starts in it; both of its header forms take 7 bytes.
        const auto pts =
            start + static_cast<std::uint32_t>(audio ? apos / adx_rate * 90000 : pictures * 90000 / picture_rate);
        const bytes header =
            audio ? packet_header(0, true, 1, pts) : packet_header(starts > 0 ? 0 : 4, true, starts > 0, pts);
        std::size_t& pos = audio ? apos : vpos;
        const std::size_t n = std::min(2030 - header.size(), (audio ? adx : video).size() - pos);
        out.push_back(packet_sector(audio ? 0x1C0 : 0x1E0, header, (audio ? adx : video).subspan(pos, n), scr));
        pictures += audio ? 0 : starts;
        pos += n;
    }
    out.push_back(end_sector());
    return flatten(out);
}

}  // namespace sfd
