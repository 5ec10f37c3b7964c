#include "sfd_builder.h"

#include <algorithm>
#include <cstring>

namespace sfd {

namespace {

void put_stamp(std::uint8_t* p, std::uint32_t ts, int prefix)
{
    p[0] = static_cast<std::uint8_t>(((ts >> 29) & 0x0E) | static_cast<std::uint32_t>(prefix) | 1u);
    p[1] = static_cast<std::uint8_t>(ts >> 22);
    p[2] = static_cast<std::uint8_t>((ts >> 14) | 1u);
    p[3] = static_cast<std::uint8_t>(ts >> 7);
    p[4] = static_cast<std::uint8_t>((ts << 1) | 1u);
}

void put_be32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void put_be16(std::uint8_t* p, int v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

constexpr std::uint32_t mux_rate = 10000;  // 500 000 bytes/s, in units of 50 bytes/s

void put_pack_header(std::uint8_t* p, std::uint32_t scr)
{
    put_be32(p, 0x1BA);
    put_stamp(p + 4, scr, 0x20);
    p[9] = static_cast<std::uint8_t>(0x80 | (mux_rate >> 15));
    p[10] = static_cast<std::uint8_t>(mux_rate >> 7);
    p[11] = static_cast<std::uint8_t>((mux_rate << 1) | 1);
}

// Fills sector bytes [from, 2048) with a padding packet, or 0xFF when fewer
// than 6 bytes are left.
void pad_from(sector& s, std::size_t from)
{
    const std::size_t left = s.size() - from;
    if (left >= 6) {
        put_be32(s.data() + from, 0x1BE);
        put_be16(s.data() + from + 4, static_cast<int>(left - 6));
        std::memset(s.data() + from + 6, 0xFF, left - 6);
    } else {
        std::memset(s.data() + from, 0xFF, left);
    }
}

std::uint32_t clock_of_sector(std::size_t index)
{
    return static_cast<std::uint32_t>(index * 2048 * 90000 / (mux_rate * 50));
}

// Frame rate of an MPEG-1 video stream from its first sequence header, in
// frames per 1001 seconds; 25 fps when none is found.
double frame_rate(std::span<const std::uint8_t> video)
{
    static const double rates[16] = {25, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001, 60,
                                     25, 25, 25, 25, 25, 25, 25};
    for (std::size_t i = 0; i + 8 <= video.size(); ++i) {
        if (video[i] == 0 && video[i + 1] == 0 && video[i + 2] == 1 && video[i + 3] == 0xB3)
            return rates[video[i + 7] & 0x0F];
    }
    return 25;
}

// Start offsets of the pictures (00 00 01 00) of a video stream.
std::vector<std::size_t> picture_starts(std::span<const std::uint8_t> video)
{
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 4 <= video.size(); ++i) {
        if (video[i] == 0 && video[i + 1] == 0 && video[i + 2] == 1 && video[i + 3] == 0x00) starts.push_back(i);
    }
    return starts;
}

} // namespace

std::vector<std::uint8_t> packet_header(const header_form& form, std::uint32_t pts, std::uint32_t dts)
{
    std::vector<std::uint8_t> h(static_cast<std::size_t>(form.stuffing), 0xFF);
    if (form.buffer) {
        h.push_back(0x60);  // buffer scale 1024, size 46 KiB
        h.push_back(0x2E);
    }
    std::uint8_t stamp[5];
    switch (form.stamp) {
    case stamps::none:
        h.push_back(0x0F);
        break;
    case stamps::pts:
        put_stamp(stamp, pts, 0x20);
        h.insert(h.end(), stamp, stamp + 5);
        break;
    case stamps::pts_dts:
        put_stamp(stamp, pts, 0x30);
        h.insert(h.end(), stamp, stamp + 5);
        put_stamp(stamp, dts, 0x10);
        h.insert(h.end(), stamp, stamp + 5);
        break;
    }
    return h;
}

int payload_room(const header_form& form)
{
    return 2030 - static_cast<int>(packet_header(form, 0).size());
}

sector packet_sector(std::uint32_t stream_code, std::span<const std::uint8_t> header,
                     std::span<const std::uint8_t> payload, std::uint32_t scr, int length_field)
{
    sector s{};
    put_pack_header(s.data(), scr);
    put_be32(s.data() + 12, stream_code);
    const std::size_t body = std::min<std::size_t>(header.size() + payload.size(), 2030);
    put_be16(s.data() + 16, length_field >= 0 ? length_field : static_cast<int>(body));
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    std::memcpy(s.data() + 18, bytes.data(), body);
    pad_from(s, 18 + body);
    return s;
}

sector system_header_sector()
{
    // rate bound, one audio and one video stream, and their buffer bounds.
    const std::uint8_t body[] = {
        0x80, 0x4E, 0x21,  // marker, rate bound 10000, marker
        0x04,              // audio bound 1, not fixed, not constrained
        0xE1,              // audio and video locked, marker, video bound 1
        0xFF,              // reserved
        0xC0, 0xC0, 0x20,  // audio 0: scale 128 bytes, bound 32
        0xE0, 0xE0, 0x2E,  // video 0: scale 1024 bytes, bound 46
    };
    sector s{};
    put_pack_header(s.data(), 0);
    put_be32(s.data() + 12, 0x1BB);
    put_be16(s.data() + 16, sizeof body);
    std::memcpy(s.data() + 18, body, sizeof body);
    pad_from(s, 18 + sizeof body);
    return s;
}

sector end_sector()
{
    sector s{};
    put_be32(s.data(), 0x1B9);
    return s;
}

std::vector<sector> mux(std::span<const std::uint8_t> video, std::span<const std::uint8_t> adx,
                        const mux_options& options)
{
    // ADX plays 18 bytes per 32 samples and channel.
    double adx_byte_rate = 1;
    if (adx.size() >= 16) {
        const double channels = adx[7];
        const double rate = (adx[8] << 24 | adx[9] << 16 | adx[10] << 8 | adx[11]);
        adx_byte_rate = std::max(1.0, channels * rate * 18 / 32);
    }
    const double fps = frame_rate(video);
    const std::vector<std::size_t> pictures = picture_starts(video);
    const int audio_room = payload_room(options.audio_form);
    const int video_room = payload_room(options.video_form);

    std::vector<sector> out;
    out.push_back(system_header_sector());
    std::size_t apos = 0;
    std::size_t vpos = 0;
    std::size_t next_picture = 0;
    // Audio leads video by a fifth of a second, as players want it buffered first.
    const double audio_lead = 0.2;
    while (apos < adx.size() || vpos < video.size()) {
        const double atime = static_cast<double>(apos) / adx_byte_rate - audio_lead;
        const double vtime = next_picture / fps;
        const bool take_audio = apos < adx.size() && (vpos >= video.size() || atime <= vtime);
        const std::uint32_t scr = clock_of_sector(out.size());
        if (take_audio) {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(audio_room), adx.size() - apos);
            const auto pts = static_cast<std::uint32_t>(static_cast<double>(apos) / adx_byte_rate * 90000);
            const auto header = packet_header(options.audio_form, pts, pts);
            out.push_back(packet_sector(0x1C0, header, adx.subspan(apos, n), scr));
            apos += n;
        } else {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(video_room), video.size() - vpos);
            // Stamp the packet with the first picture that starts inside it.
            header_form form = options.video_form;
            std::uint32_t pts = 0;
            if (next_picture < pictures.size() && pictures[next_picture] < vpos + n) {
                pts = static_cast<std::uint32_t>(static_cast<double>(next_picture) * 90000 / fps);
            } else {
                form.stamp = stamps::none;
            }
            auto header = packet_header(form, pts, pts);
            // Keep the header length of a full packet, so its payload fills the sector.
            header.insert(header.begin(), packet_header(options.video_form, 0).size() - header.size(), 0xFF);
            out.push_back(packet_sector(0x1E0, header, video.subspan(vpos, n), scr));
            vpos += n;
            while (next_picture < pictures.size() && pictures[next_picture] < vpos) ++next_picture;
        }
    }
    if (options.end_code) out.push_back(end_sector());
    return out;
}

bool write_file(const char* path, std::span<const sector> sectors)
{
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    bool ok = true;
    for (const sector& s : sectors) ok = ok && std::fwrite(s.data(), 1, s.size(), f) == s.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<std::uint8_t> read_file(const char* path)
{
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return bytes;
    std::uint8_t buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + got);
    std::fclose(f);
    return bytes;
}

} // namespace sfd
