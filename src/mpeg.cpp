#include "mpeg.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

// ---------------------------------------------------------------------------
// Field codec

std::uint32_t read_long(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

int read_word(const std::uint8_t* p)
{
    return (p[0] << 8) | p[1];
}

void write_word(std::uint8_t* p, int v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

std::uint32_t read_timestamp(const std::uint8_t* p)
{
    // Bit 32 of the 33-bit stamp (bit 3 of p[0]) is dropped.
    return (std::uint32_t{p[0] & 0x0Eu} << 29) | (std::uint32_t{p[1]} << 22) | (std::uint32_t{p[2] & 0xFEu} << 14) |
           (std::uint32_t{p[3]} << 7) | (std::uint32_t{p[4]} >> 1);
}

void write_timestamp(std::uint8_t* p, std::uint32_t ts, int prefix)
{
    p[0] = static_cast<std::uint8_t>((ts >> 29) | static_cast<std::uint32_t>(prefix) | 1u);
    p[1] = static_cast<std::uint8_t>(ts >> 22);
    p[2] = static_cast<std::uint8_t>((ts >> 14) | 1u);
    p[3] = static_cast<std::uint8_t>(ts >> 7);
    p[4] = static_cast<std::uint8_t>((ts << 1) | 1u);
}

block_header skip_block_header(const std::uint8_t* p, int avail, messages& log)
{
    const int stuffing = static_cast<int>(std::find_if(p, p + avail, [](std::uint8_t b) { return b != 0xFF; }) - p);
    if (stuffing == avail) return {avail, stamp_form::none, stuffing};
    int n = stuffing;
    if ((p[n] & 0xC0) == 0x40) {  // buffer field
        n += 2;
        if (n >= avail) return {avail, stamp_form::none, stuffing};
    }
    const int c = p[n];
    const int stamps = (c & 0xF0) == pts_only_prefix ? 1 : (c & 0xF0) == pts_of_pair_prefix ? 2 : 0;
    if (stamps > 0) {
        const int length = n + stamps * stamp_bytes;
        if (length > avail) return {avail, stamp_form::none, stuffing};
        return {length, stamps == 1 ? stamp_form::pts : stamp_form::pts_dts, stuffing};
    }
    if (c == 0x0F) return {n + 1, stamp_form::none, stuffing};
    say(log, "unknown %x\n", static_cast<unsigned>(c));
    return {n, stamp_form::none, stuffing};
}

int bounded_packet_length(const std::uint8_t* sector)
{
    return std::min(read_word(sector + packet_length_offset), max_packet_length);
}

void write_padding(std::uint8_t* sector, int from)
{
    const int body = sector_size - from - padding_min;
    sector[from] = 0;
    sector[from + 1] = 0;
    sector[from + 2] = 1;
    sector[from + 3] = static_cast<std::uint8_t>(padding_code);
    write_word(sector + from + 4, body);
    std::memset(sector + from + padding_min, 0xFF, static_cast<std::size_t>(body));
}

// ---------------------------------------------------------------------------
// MPEG audio frame header

namespace {

// Bit rates in kbit/s, 16 indexes a list, the lists in the order of the
// version row and then 3 - layer: MPEG-1 layers I-III, then the
// lower-sampling-frequency layers I-III (II and III share a list).
constexpr int bitrate_index[] = {
    0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0,  //
    0, 32, 48, 56, 64,  80,  96,  112, 128, 160, 192, 224, 256, 320, 384, 0,  //
    0, 32, 40, 48, 56,  64,  80,  96,  112, 128, 160, 192, 224, 256, 320, 0,  //
    0, 32, 48, 56, 64,  80,  96,  112, 128, 144, 160, 176, 192, 224, 256, 0,  //
    0, 8,  16, 24, 32,  40,  48,  56,  64,  80,  96,  112, 128, 144, 160, 0,  //
    0, 8,  16, 24, 32,  40,  48,  56,  64,  80,  96,  112, 128, 144, 160, 0,
};
// Sampling frequencies in Hz, 4 indexes a version row.
constexpr int frequency[] = {44100, 48000, 32000, 0, 22050, 24000, 16000, 0};
constexpr int slots[] = {12, 144, 144, 0};
constexpr const char* layer_string[] = {"", "III", "II", "I"};
constexpr const char* mode[] = {"stereo", "joint stereo", "dual channel", "mono"};
constexpr const char* copyright[] = {"no copyright", "copyright protected"};
constexpr const char* original[] = {"copy", "original"};
constexpr const char* emphasis[] = {"none", "50/15 microseconds", "reserved", "CCITT J.17"};

int bit_rate_of(int v, int li, int index)
{
    return bitrate_index[(v * 3 + li) * 16 + index];
}

constexpr int layer_iii_bits = 1;
constexpr int mono_mode = 3;

// The fields of a frame header that the reports and the tag checks use.
struct frame_header {
    int id;          // 1: MPEG-1, 0: lower sampling frequencies
    int layer;       // layer bits: 3 = I, 2 = II, 1 = III, 0 = reserved
    int protection;  // 0: a 16-bit check word follows the header
    int rate;        // kbit/s, 0 for free format, index 15 or reserved layer
    int freq;        // Hz, 0 for the reserved index
    int padding;
    int mode;
};

bool has_sync(const std::uint8_t* p)
{
    return (read_word(p) & 0xFFF0) == 0xFFF0;
}

frame_header parse_frame_header(const std::uint8_t* p)
{
    frame_header f{};
    f.id = (p[1] >> 3) & 1;
    f.layer = (p[1] >> 1) & 3;
    f.protection = p[1] & 1;
    const int v = 1 - f.id;
    const int li = 3 - f.layer;
    // Reserved layer bits have no row of bit rates: rate 0.
    f.rate = li < 3 ? bit_rate_of(v, li, p[2] >> 4) : 0;
    f.freq = frequency[v * 4 + ((p[2] >> 2) & 3)];
    f.padding = (p[2] >> 1) & 1;
    f.mode = p[3] >> 6;
    return f;
}

// A layer III frame header with its side information inside the bytes at hand.
bool is_layer_iii(const std::uint8_t* p, int avail)
{
    return avail >= tag_probe_bytes && has_sync(p) && ((p[1] >> 1) & 3) == layer_iii_bits;
}

// Where a layer III frame's side information ends, which is where encoders
// put their "Info" and "Xing" tags.
int tag_offset(const frame_header& f)
{
    const bool mono = f.mode == mono_mode;
    const int side_end = f.id == 1 ? (mono ? 21 : 36) : (mono ? 13 : 21);
    return f.protection == 0 ? side_end + 2 : side_end;
}

bool has_tag_at(const std::uint8_t* p, int offset, const char* tag)
{
    return std::memcmp(p + offset, tag, 4) == 0;
}

}  // namespace

int audio_info(const std::uint8_t* p, messages* report)
{
    if (!has_sync(p)) return -1;
    const frame_header f = parse_frame_header(p);
    if (report != nullptr) {
        messages& m = *report;
        const int li = 3 - f.layer;
        say(m, "version: %d\n", 2 - f.id);
        say(m, "layer: %s\n", layer_string[f.layer]);
        say(m, "protection: %d\n", f.protection);
        say(m, "bit_rate: %d\n", f.rate);
        say(m, "frequency: %d\n", f.freq);
        say(m, "padding: %d\n", f.padding);
        say(m, "mode: %s\n", mode[f.mode]);
        say(m, "mode_extension: %d\n", (p[3] >> 4) & 3);
        say(m, "copyright: %s\n", copyright[(p[3] >> 3) & 1]);
        say(m, "original: %s\n", original[(p[3] >> 2) & 1]);
        say(m, "emphasis: %s\n", emphasis[p[3] & 3]);
        // A reserved frequency index has no frame size; show 0 rather than divide by it.
        const int scaled = slots[li] * f.rate * 1000;  // the frame's slots times the sampling rate
        say(m, "framesize: %d\n", f.freq != 0 ? scaled / f.freq + (scaled % f.freq != 0) : 0);
    }
    return f.rate * 1000;
}

bool is_frame_header(const std::uint8_t* p)
{
    const int layer = (p[1] >> 1) & 3;
    return has_sync(p) && layer != 0 && (p[2] >> 4) != 15 && ((p[2] >> 2) & 3) != 3;
}

std::vector<int> layer2_bit_rates(int sample_rate, int channels)
{
    constexpr int layer2 = 1;  // 3 - layer
    std::vector<int> kbits;
    const int* found = std::find(std::begin(frequency), std::end(frequency), sample_rate);
    if (sample_rate == 0 || found == std::end(frequency)) return kbits;
    const int v = static_cast<int>(found - frequency) / 4;
    for (int index = 1; index < 15; ++index) {
        const int kbit = bit_rate_of(v, layer2, index);
        // MPEG-1 layer II keeps its lowest rates for one channel and its highest for two.
        if (v == 1 || (channels == 1 ? kbit <= 192 : kbit >= 64 && kbit != 80)) kbits.push_back(kbit);
    }
    return kbits;
}

// An ID3v2 tag: "ID3", version (2 bytes), flags, a size of 4 bytes of 7 bits each.
constexpr int id3_footer_flag = 0x10;

int id3_tag_length(const std::uint8_t* p, int avail)
{
    if (avail < id3_header_bytes || std::memcmp(p, "ID3", 3) != 0) return 0;
    int size = 0;
    for (int i = 6; i < 10; ++i) {
        if (p[i] >= 0x80) return 0;  // not a tag's size: leave the bytes alone
        size = (size << 7) | p[i];
    }
    const bool footer = (p[5] & id3_footer_flag) != 0;
    return id3_header_bytes + size + (footer ? id3_header_bytes : 0);
}

int info_frame_length(const std::uint8_t* p, int avail)
{
    if (!is_layer_iii(p, avail)) return 0;
    const frame_header f = parse_frame_header(p);
    if (!has_tag_at(p, tag_offset(f), "Info") || f.rate == 0 || f.freq == 0) return 0;
    const int slots_per_kbit = f.id == 1 ? 144000 : 72000;
    return slots_per_kbit * f.rate / f.freq + f.padding;
}

bool is_vbr_tag_frame(const std::uint8_t* p, int avail)
{
    if (!is_layer_iii(p, avail)) return false;
    return has_tag_at(p, tag_offset(parse_frame_header(p)), "Xing") || has_tag_at(p, 36, "VBRI");
}

// ---------------------------------------------------------------------------
// Video sequence header

void video_info(const std::uint8_t* p, messages* report)
{
    if (report == nullptr) return;
    messages& m = *report;
    say(m, "width: %d\n", (p[0] << 4) | (p[1] >> 4));
    say(m, "height: %d\n", ((p[1] & 0x0F) << 8) | p[2]);
    say(m, "aspect: %d\n", p[3] >> 4);
    say(m, "pict rate: %d\n", p[3] & 0x0F);
    say(m, "bit rate: %d\n", (p[4] << 10) | (p[5] << 2) | (p[6] >> 6));
    say(m, "buffer size:%d\n", ((p[6] & 0x1F) << 5) | (p[7] >> 3));
}
