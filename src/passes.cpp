#include "passes.h"

#include "adxconv.h"
#include "mpeg.h"

#include <cstring>

namespace {

constexpr std::int32_t ticks_per_second = 90000;
// A sequence header's code and the 8 bytes that video_info reports.
constexpr int sequence_header_bytes = 12;

// Reads the next sector. Bytes that a short last read leaves unfilled are
// zeroed so no stale data from the previous sector is ever taken for this one.
std::size_t read_sector(std::FILE* input, std::uint8_t* sector)
{
    const std::size_t got = std::fread(sector, 1, sector_size, input);
    if (got > 0 && got < sector_size) std::memset(sector + got, 0, sector_size - got);
    return got;
}

// The packet header of a sector, bounded by its packet length.
int header_length(const std::uint8_t* sector)
{
    return skip_block_header(sector + packet_header_offset, bounded_packet_length(sector)).length;
}

} // namespace

void demux_audio(std::FILE* input, std::FILE* wav, std::uint8_t* sector)
{
    adx_write_init();
    for (int index = 0; read_sector(input, sector) > 0; ++index) {
        const std::uint32_t code = read_long(sector);
        if (code == end_code) break;
        if (code != pack_code) {
            std::printf("unexpexted code:%x sector %d\n", code, index);
            continue;
        }
        const std::uint32_t stream = read_long(sector + stream_code_offset);
        switch (stream) {
        case audio_code: {
            const int h = header_length(sector);
            adx_write(wav, sector + packet_header_offset + h, bounded_packet_length(sector) - h);
            break;
        }
        case system_header_code:
        case padding_code:
        case private2_code:
        case video_code:
            break;
        default:
            std::printf("unknown code:%x\n", stream);
        }
    }
    adx_write(wav, nullptr, 0);
}

namespace {

// Reads up to a sector of mp3 from position at. A read shorter than a frame
// header leaves zeros there, so it fails the sync test whatever the buffer held.
int read_encoded_at(std::FILE* mp3, long at, std::uint8_t* sector)
{
    const std::size_t got = std::fseek(mp3, at, SEEK_SET) == 0 ? std::fread(sector, 1, sector_size, mp3) : 0;
    if (got < 4) std::memset(sector, 0, 4);
    return static_cast<int>(got);
}

} // namespace

audio_probe probe_byte_rate(std::FILE* mp3, std::uint8_t* sector)
{
    long start = 0;
    int got = read_encoded_at(mp3, start, sector);
    if (const int tag = id3_tag_length(sector, got); tag > 0) {
        start += tag;
        got = read_encoded_at(mp3, start, sector);
    }
    // A tag frame's header may state another bit rate than the audio's.
    if (const int info = info_frame_length(sector, got); info > 0) {
        start += info;
        got = read_encoded_at(mp3, start, sector);
    }
    const audio_probe probe{audio_info(sector) / 8, is_vbr_tag_frame(sector, got)};
    std::fseek(mp3, start, SEEK_SET);
    return probe;
}

namespace {

std::int32_t wrapping_add(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrapping_sub(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// Writes the clock into the stamp alone, or into both stamps of a pair.
void write_stamps(std::uint8_t* stamp, stamp_form form, std::int32_t clock)
{
    const auto ts = static_cast<std::uint32_t>(clock);
    if (form == stamp_form::pts) {
        write_timestamp(stamp, ts, pts_only_prefix);
    } else {
        write_timestamp(stamp, ts, pts_of_pair_prefix);
        write_timestamp(stamp + stamp_bytes, ts, dts_of_pair_prefix);
    }
}

// Ends an audio packet right after the got bytes of its payload, so that no
// filler reaches the audio decoder: the room behind it becomes a padding
// packet, or zeros when it is too small to hold one.
void end_packet_after(std::uint8_t* sector, int h, int got)
{
    const int end = packet_header_offset + h + got;
    if (sector_size - end >= padding_min) {
        write_word(sector + packet_length_offset, h + got);
        write_padding(sector, end);
    } else {
        std::memset(sector + end, 0, static_cast<std::size_t>(sector_size - end));
    }
}

} // namespace

void replace_audio_packet(std::uint8_t* sector, std::FILE* mp3, std::FILE* output, remux_state& state)
{
    const block_header header = skip_block_header(sector + packet_header_offset, max_packet_length);
    const int h = header.length;
    // The first audio packet starts the clock with the play time of a full payload.
    if (state.last_read < 0) state.last_read = max_packet_length - h;
    const std::int32_t duration = state.last_read * ticks_per_second / state.byte_rate;

    std::uint8_t* payload = sector + packet_header_offset + h;
    std::uint8_t* stamp = nullptr;
    std::int32_t clock = state.audio_pts;
    if (header.form != stamp_form::none) {
        // The presentation stamp is the stamp alone, or the first of a pair.
        stamp = payload - (header.form == stamp_form::pts ? stamp_bytes : 2 * stamp_bytes);
        const auto pts = static_cast<std::int32_t>(read_timestamp(stamp));
        if (!state.clock_started) {
            clock = pts;  // the movie's first audio stamp is where the new audio starts
        } else if (pts < wrapping_sub(state.audio_pts, duration)) {
            return;  // fallen behind the clock: leave the packet out
        }
    }

    const int room = max_packet_length - h;
    const int got = static_cast<int>(std::fread(payload, 1, static_cast<std::size_t>(room), mp3));
    if (got == 0) return;  // the encoded audio has run out: nothing to carry
    write_word(sector + packet_length_offset, max_packet_length);
    if (got < room) end_packet_after(sector, h, got);
    if (stamp != nullptr) {
        write_stamps(stamp, header.form, clock);
        state.clock_started = true;
    }
    state.last_read = got;
    std::fwrite(sector, 1, sector_size, output);
    state.audio_pts = wrapping_add(clock, duration);
}

long remux_audio(std::FILE* input, std::FILE* mp3, std::FILE* output, std::uint8_t* sector, int byte_rate)
{
    remux_state state{byte_rate, 0, -1};
    while (read_sector(input, sector) > 0) {
        const std::uint32_t code = read_long(sector);
        if (code == end_code) {
            std::fwrite(sector, 1, sector_size, output);
            break;
        }
        if (code != pack_code) {
            std::printf("unexpexted code:%x\n", code);
            continue;
        }
        const std::uint32_t stream = read_long(sector + stream_code_offset);
        switch (stream) {
        case system_header_code:
            std::fwrite(sector, 1, sector_size, output);
            break;
        case video_code: {
            const int h = header_length(sector);
            const std::uint8_t* payload = sector + packet_header_offset + h;
            if (bounded_packet_length(sector) - h >= sequence_header_bytes && read_long(payload) == sequence_header_code)
                video_info(payload + 4);
            std::fwrite(sector, 1, sector_size, output);
            break;
        }
        case padding_code:
        case private2_code:
            break;
        case audio_code:
            replace_audio_packet(sector, mp3, output, state);
            break;
        default:
            std::printf("unknown code:%x\n", stream);
        }
    }
    const long pos = std::ftell(mp3);
    std::fseek(mp3, 0, SEEK_END);
    const long rest = std::ftell(mp3) - pos;
    std::printf("rest:%d ", static_cast<int>(rest));
    return rest;
}
