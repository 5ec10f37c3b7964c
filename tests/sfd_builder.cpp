#include "sfd_builder.h"

#include <algorithm>
#include <cstring>

namespace sfd {

namespace {

void put_be(std::uint8_t* p, std::uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
}

// The 5-byte stamp form: 3 + 15 + 15 bits, each group followed by a marker bit.
void put_stamp(std::uint8_t* p, std::uint32_t ts, int prefix)
{
    put_be(p, static_cast<std::uint32_t>(prefix) | (ts >> 29 & 6) | 1, 1);
    put_be(p + 1, (ts >> 15 & 0x7FFF) << 1 | 1, 2);
    put_be(p + 3, (ts & 0x7FFF) << 1 | 1, 2);
}

bool starts_with_code(std::span<const std::uint8_t> s, std::size_t i, std::uint8_t code)
{
    return i + 4 <= s.size() && s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == code;
}

} // namespace

bytes packet_header(const header_form& form, std::uint32_t pts, std::uint32_t dts)
{
    bytes h(static_cast<std::size_t>(form.stuffing), 0xFF);
    if (form.buffer) h.insert(h.end(), {0x60, 0x2E});  // buffer scale 1024, size 46 KiB
    std::uint8_t stamp[10];
    put_stamp(stamp, pts, form.stamp == stamps::pts ? 0x20 : 0x30);
    put_stamp(stamp + 5, dts, 0x10);
    const int n = form.stamp == stamps::pts ? 5 : form.stamp == stamps::pts_dts ? 10 : 0;
    h.insert(h.end(), stamp, stamp + n);
    if (n == 0) h.push_back(0x0F);
    return h;
}

sector packet_sector(std::uint32_t stream_code, std::span<const std::uint8_t> header,
                     std::span<const std::uint8_t> payload, int length_field, std::uint32_t scr)
{
    sector s{};
    put_be(s.data(), 0x1BA, 4);
    put_stamp(s.data() + 4, scr, 0x20);
    put_be(s.data() + 9, 0x800001 | 10000 << 1, 3);  // mux rate 10000 x 50 bytes/s
    put_be(s.data() + 12, stream_code, 4);
    bytes body(header.begin(), header.end());
    body.insert(body.end(), payload.begin(), payload.end());
    body.resize(std::min<std::size_t>(body.size(), 2030));
    put_be(s.data() + 16, length_field >= 0 ? static_cast<std::uint32_t>(length_field) : static_cast<std::uint32_t>(body.size()), 2);
    std::memcpy(s.data() + 18, body.data(), body.size());
    const std::size_t end = 18 + body.size();
    std::memset(s.data() + end, 0xFF, s.size() - end);
    if (s.size() - end >= 6) put_be(s.data() + end, 0x1BE, 4), put_be(s.data() + end + 4, static_cast<std::uint32_t>(s.size() - end - 6), 2);
    return s;
}

sector end_sector()
{
    sector s{};
    put_be(s.data(), 0x1B9, 4);
    return s;
}

std::vector<sector> mux(std::span<const std::uint8_t> video, std::span<const std::uint8_t> adx, const mux_options& options)
{
    // ADX plays 18 bytes per 32 samples and channel; the video's rate code stands in its sequence header.
    const double adx_rate = adx.size() < 16 ? 1 : adx[7] * ((adx[8] << 24 | adx[9] << 16 | adx[10] << 8 | adx[11]) * 18.0 / 32);
    static const double rates[16] = {25, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001, 60, 25, 25, 25, 25, 25, 25, 25};
    const double fps = starts_with_code(video, 0, 0xB3) && video.size() > 7 ? rates[video[7] & 15] : 25;
    const std::uint8_t system_header[] = {0x80, 0x4E, 0x21, 0x04, 0xE1, 0xFF, 0xC0, 0xC0, 0x20, 0xE0, 0xE0, 0x2E};
    std::vector<sector> out = {packet_sector(0x1BB, system_header, {})};
    const std::size_t audio_room = 2030 - packet_header(options.audio_form, 0).size();
    std::size_t apos = 0, vpos = 0, pictures = 0;
    while (apos < adx.size() || vpos < video.size()) {
        const auto scr = static_cast<std::uint32_t>(out.size() * 2048 * 90000 / 500000);
        // Audio leads the pictures by a fifth of a second, as players want it buffered first.
        if (apos < adx.size() && (vpos >= video.size() || apos / adx_rate - 0.2 <= pictures / fps)) {
            const std::size_t n = std::min(audio_room, adx.size() - apos);
            const auto pts = options.start + static_cast<std::uint32_t>(apos / adx_rate * 90000);
            out.push_back(packet_sector(0x1C0, packet_header(options.audio_form, pts, pts), adx.subspan(apos, n), -1, scr));
            apos += n;
            continue;
        }
        // A video packet is stamped with the first picture that starts in it; both header forms take 7 bytes.
        const std::size_t n = std::min<std::size_t>(2030 - 7, video.size() - vpos);
        std::size_t starts = 0;
        for (std::size_t i = vpos; i < vpos + n; ++i) starts += starts_with_code(video, i, 0);
        const auto pts = options.start + static_cast<std::uint32_t>(pictures * 90000 / fps);
        const header_form form = starts > 0 ? header_form{} : header_form{4, true, stamps::none};
        out.push_back(packet_sector(0x1E0, packet_header(form, pts), video.subspan(vpos, n), -1, scr));
        pictures += starts;
        vpos += n;
    }
    if (options.end_code) out.push_back(end_sector());
    return out;
}

bytes flatten(std::span<const sector> sectors)
{
    bytes out;
    for (const sector& s : sectors) out.insert(out.end(), s.begin(), s.end());
    return out;
}

} // namespace sfd
