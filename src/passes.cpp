#include "passes.h"

#include "adxconv.h"
#include "mpeg.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::int32_t ticks_per_second = 90000;
// A sequence header's code and the 8 bytes that video_info reports.
constexpr int sequence_header_bytes = 12;

// The packet header of a sector, bounded by its packet length.
int header_length(const std::uint8_t* sector, messages& log)
{
    return skip_block_header(sector + packet_header_offset, bounded_packet_length(sector), log).length;
}

}  // namespace

pass1_result demux_audio(movie_source& input, std::FILE* wav, std::uint8_t* sector, adx_writer& writer, adx_level level,
                         messages& log)
{
    adx_write_init(writer, level);
    bool video = false;
    int audio_packets = 0;
    bool mpeg_audio = false;  // the first audio payload starts with an MPEG audio frame header
    std::string why;
    for (int index = 0; read_movie_sector(input, sector, why); ++index) {
        const std::uint32_t code = read_long(sector);
        if (code == end_code) break;
        if (code != pack_code) {
            say(log, "unexpexted code:%x sector %d\n", code, index);
            continue;
        }
        const std::uint32_t stream = read_long(sector + stream_code_offset);
        switch (stream) {
        case system_header_code:
        case padding_code:
        case private2_code:
            break;
        case video_code:
            video = true;
            break;
        case audio_code: {
            const int h = header_length(sector, log);
            const std::uint8_t* payload = sector + packet_header_offset + h;
            const int length = bounded_packet_length(sector) - h;
            if (audio_packets++ == 0) mpeg_audio = length >= 4 && is_frame_header(payload);
            if (!adx_write(writer, wav, payload, length)) say(log, "not adx!");
            break;
        }
        default:
            say(log, "unknown code:%x\n", stream);
        }
    }
    if (!why.empty()) return {found_audio::none, why};
    if (!adx_write(writer, wav, nullptr, 0)) say(log, "not adx!");
    if (!writer.first_time) return {found_audio::adx, ""};
    if (writer.refused) return {found_audio::undecodable, ""};
    return {mpeg_audio || (video && audio_packets == 0) ? found_audio::copyable : found_audio::none, ""};
}

namespace {

// Reads up to a sector of mp3 from position at; returns the bytes read.
int read_encoded_at(std::FILE* mp3, long at, std::uint8_t* sector)
{
    return static_cast<int>(std::fseek(mp3, at, SEEK_SET) == 0 ? std::fread(sector, 1, sector_size, mp3) : 0);
}

}  // namespace

audio_probe probe_byte_rate(std::FILE* mp3, std::uint8_t* sector, messages* report)
{
    // Past an ID3v2 tag, then past an "Info" tag frame, whose header may state
    // another bit rate than the audio's (each 0 bytes when there is none).
    long start = id3_tag_length(sector, read_encoded_at(mp3, 0, sector));
    start += info_frame_length(sector, read_encoded_at(mp3, start, sector));
    const int got = read_encoded_at(mp3, start, sector);
    constexpr int frame_header_bytes = 4;  // fewer than these are no frame, whatever the buffer held
    const int bit_rate = got >= frame_header_bytes ? audio_info(sector, report) : -1;
    const audio_probe probe{bit_rate / 8, is_vbr_tag_frame(sector, got)};
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

// MPEG-1 allows at most this many stuffing bytes in a packet header.
constexpr int max_stuffing = 16;

// Ends an audio packet that got bytes of encoded audio: a full one as it is;
// where the audio ran out inside its room, so that no byte the encoder did
// not write stands in the payload: the room
// behind the audio becomes a padding packet; where that needs more room than
// is left, stuffing bytes in front of the header fill it instead (the header
// and payload move toward the sector end by shift, set only then), and where
// the header can take no more stuffing, the last bytes go back to mp3 for the
// next audio packet and an empty padding packet ends this one. Returns the
// bytes kept in the payload, or -1 when mp3 can't be put back (errno set).
int end_packet_after(std::uint8_t* sector, const block_header& header, int got, std::FILE* mp3, int& shift)
{
    const int h = header.length;
    const int left = max_packet_length - h - got;
    if (left == 0) return got;  // the packet is full
    if (left < padding_min && header.stuffing + left <= max_stuffing) {
        std::uint8_t* start = sector + packet_header_offset;
        std::memmove(start + left, start, static_cast<std::size_t>(h + got));
        std::memset(start, 0xFF, static_cast<std::size_t>(left));
        shift = left;
        return got;
    }
    // What a padding packet lacks of room goes back to mp3 (nothing when it has room).
    const int back = std::clamp(padding_min - left, 0, got);
    if (back > 0 && std::fseek(mp3, -back, SEEK_CUR) != 0) return -1;
    got -= back;
    if (got == 0) return 0;
    write_word(sector + packet_length_offset, h + got);
    write_padding(sector, packet_header_offset + h + got);
    return got;
}

}  // namespace

void replace_audio_packet(std::uint8_t* sector, std::FILE* mp3, std::FILE* output, remux_state& state)
{
    const block_header header = skip_block_header(sector + packet_header_offset, max_packet_length, state.log);
    const int h = header.length;
    // The first audio packet starts the clock with the play time of a full payload.
    const std::int32_t duration = state.last_read.value_or(max_packet_length - h) * ticks_per_second / state.byte_rate;

    std::uint8_t* payload = sector + packet_header_offset + h;
    // Where the stamps start before the payload, when there are any.
    const int stamp_offset = header.form == stamp_form::pts ? stamp_bytes : 2 * stamp_bytes;
    std::int32_t clock = state.audio_pts;
    if (header.form != stamp_form::none) {
        // The presentation stamp is the stamp alone, or the first of a pair.
        const auto pts = static_cast<std::int32_t>(read_timestamp(payload - stamp_offset));
        if (!state.clock_started) {
            clock = pts;  // the movie's first audio stamp is where the new audio starts
        } else if (pts < wrapping_sub(state.audio_pts, duration)) {
            return;  // fallen behind the clock: leave the packet out
        }
    }

    const auto room = static_cast<std::size_t>(max_packet_length - h);
    int shift = 0;
    write_word(sector + packet_length_offset, max_packet_length);
    const auto read = static_cast<int>(std::fread(payload, 1, room, mp3));
    const int got = std::ferror(mp3) == 0 ? end_packet_after(sector, header, read, mp3, shift) : -1;
    if (got < 0) {
        state.mp3_error = errno;
        return;
    }
    if (got == 0) return;  // the encoded audio has run out, or its last bytes went back: nothing to carry
    if (header.form != stamp_form::none) {
        write_stamps(payload + shift - stamp_offset, header.form, clock);
        state.clock_started = true;
    }
    state.last_read = got;
    std::fwrite(sector, 1, sector_size, output);
    state.audio_pts = wrapping_add(clock, duration);
}

pass2_result remux_audio(movie_source& input, std::FILE* mp3, std::FILE* output, std::uint8_t* sector, int byte_rate,
                         messages& log, bool verbose)
{
    remux_state state{log, byte_rate, 0, std::nullopt};
    std::string why;
    while (state.mp3_error == 0 && read_movie_sector(input, sector, why)) {
        const std::uint32_t code = read_long(sector);
        if (code == end_code) {
            std::fwrite(sector, 1, sector_size, output);
            break;
        }
        if (code != pack_code) {
            say(log, "unexpexted code:%x\n", code);
            continue;
        }
        const std::uint32_t stream = read_long(sector + stream_code_offset);
        switch (stream) {
        case system_header_code:
            std::fwrite(sector, 1, sector_size, output);
            break;
        case video_code: {
            const int h = header_length(sector, log);
            const std::uint8_t* payload = sector + packet_header_offset + h;
            if (bounded_packet_length(sector) - h >= sequence_header_bytes &&
                read_long(payload) == sequence_header_code)
                video_info(payload + 4, verbose ? &log : nullptr);
            std::fwrite(sector, 1, sector_size, output);
            break;
        }
        case padding_code:
        case private2_code:
            break;
        case audio_code:
            if (mp3 != nullptr) {
                replace_audio_packet(sector, mp3, output, state);
            } else {
                std::fwrite(sector, 1, sector_size, output);
            }
            break;
        default:
            say(log, "unknown code:%x\n", stream);
        }
    }
    if (!why.empty() || state.mp3_error != 0) return {0, why, state.mp3_error};
    long rest = 0;
    if (mp3 != nullptr) {
        const long pos = std::ftell(mp3);
        std::fseek(mp3, 0, SEEK_END);
        rest = std::ftell(mp3) - pos;
    }
    say(log, "rest:%ld ", rest);
    return {rest, "", 0};
}
