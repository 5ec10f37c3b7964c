// The codecs of a CD's CHD and the libraries they use: the CD codecs cdlz
// (LZMA, then deflate), cdzl (deflate, deflate) and cdzs (Zstandard twice),
// which hold a hunk's sector bytes and its subcode bytes apart, after a
// bitmap of the frames whose sync and parity were stripped; cdfl (FLAC
// frames of the sector bytes as 16-bit stereo, then deflate); and zstd, one
// frame of the whole hunk. Each must give exactly the bytes expected.
#include "chd.h"

#include <FLAC/stream_decoder.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>

namespace {

constexpr std::uint32_t cdlz = fourcc("cdlz");
constexpr std::uint32_t cdzl = fourcc("cdzl");
constexpr std::uint32_t cdfl = fourcc("cdfl");
constexpr std::uint32_t cdzs = fourcc("cdzs");
constexpr std::uint32_t zstd = fourcc("zstd");

bool inflate_exactly(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(in_size);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(out_size);
    const int status = inflate(&z, Z_FINISH);
    const bool whole = status == Z_STREAM_END && z.avail_out == 0;
    inflateEnd(&z);
    return whole;
}

// Raw LZMA without its header: the properties that the compressing side
// used (lc 3, lp 0, pb 2) and a dictionary at least as large as the output.
bool unlzma_exactly(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size)
{
    std::uint8_t header[13] = {0x5D};
    std::uint32_t dictionary = 4096;  // a power of two, at least the output's size
    while (dictionary < out_size) dictionary *= 2;
    for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<std::uint8_t>(dictionary >> (8 * i));
    for (int i = 0; i < 8; ++i) header[5 + i] = static_cast<std::uint8_t>(std::uint64_t{out_size} >> (8 * i));
    lzma_stream z = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&z, UINT64_MAX) != LZMA_OK) return false;
    z.next_out = out;
    z.avail_out = out_size;
    z.next_in = header;
    z.avail_in = sizeof header;
    lzma_ret status = lzma_code(&z, LZMA_RUN);
    if (status == LZMA_OK) {
        z.next_in = in;
        z.avail_in = in_size;
        status = lzma_code(&z, LZMA_FINISH);
    }
    const bool whole = (status == LZMA_STREAM_END || status == LZMA_OK) && z.avail_out == 0;
    lzma_end(&z);
    return whole;
}

// FLAC frames of 16-bit stereo at 44100 Hz, without their stream header:
// decoded behind a synthetic one into big-endian samples; used is set to the
// bytes of frames consumed.
struct flac_input {
    std::uint8_t header[42];
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;  // in header + data
    std::uint8_t* out;
    std::size_t out_size;
    std::size_t written = 0;
    bool failed = false;
};

FLAC__StreamDecoderReadStatus flac_read(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes, void* data)
{
    auto& in = *static_cast<flac_input*>(data);
    std::size_t n = 0;
    while (n < *bytes && in.at < sizeof in.header + in.size) {
        buffer[n++] = in.at < sizeof in.header ? in.header[in.at] : in.data[in.at - sizeof in.header];
        ++in.at;
    }
    *bytes = n;
    return n == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderWriteStatus flac_write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                          const FLAC__int32* const channels[], void* data)
{
    auto& in = *static_cast<flac_input*>(data);
    if (frame->header.channels != 2 || frame->header.bits_per_sample != 16) in.failed = true;
    for (unsigned i = 0; i < frame->header.blocksize && !in.failed; ++i) {
        if (in.written + 4 > in.out_size) {
            in.failed = true;
            break;
        }
        for (int c = 0; c < 2; ++c) {
            const auto v = static_cast<std::uint16_t>(channels[c][i]);
            in.out[in.written++] = static_cast<std::uint8_t>(v >> 8);
            in.out[in.written++] = static_cast<std::uint8_t>(v);
        }
    }
    return in.failed ? FLAC__STREAM_DECODER_WRITE_STATUS_ABORT : FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

FLAC__StreamDecoderTellStatus flac_tell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* data)
{
    *offset = static_cast<flac_input*>(data)->at;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

void flac_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data)
{
    static_cast<flac_input*>(data)->failed = true;
}

bool unflac_exactly(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size,
                    std::size_t& used)
{
    constexpr std::uint32_t block = 2352;  // sample pairs a FLAC frame, as the compressing side chose them
    flac_input input{{'f', 'L', 'a', 'C', 0x80, 0, 0, 34}, in, in_size, 0, out, out_size};
    std::uint8_t* info = input.header + 8;
    info[0] = block >> 8, info[1] = block & 0xFF, info[2] = block >> 8, info[3] = block & 0xFF;
    // 44100 Hz (20 bits), 2 channels (3 bits: 1), 16 bits (5 bits: 15), no sample count, no MD5.
    info[10] = 44100 >> 12, info[11] = (44100 >> 4) & 0xFF, info[12] = ((44100 & 0xF) << 4) | (1 << 1) | 0;
    info[13] = 15 << 4;
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    if (decoder == nullptr) return false;
    bool whole = FLAC__stream_decoder_init_stream(decoder, flac_read, nullptr, flac_tell, nullptr, nullptr, flac_write,
                                                  nullptr, flac_error, &input) == FLAC__STREAM_DECODER_INIT_STATUS_OK;
    while (whole && !input.failed && input.written < out_size)
        whole = FLAC__stream_decoder_process_single(decoder) &&
                FLAC__stream_decoder_get_state(decoder) != FLAC__STREAM_DECODER_END_OF_STREAM;
    FLAC__uint64 position = 0;
    whole = whole && !input.failed && input.written == out_size &&
            FLAC__stream_decoder_get_decode_position(decoder, &position) && position >= sizeof input.header &&
            position - sizeof input.header <= in_size;
    used = whole ? static_cast<std::size_t>(position - sizeof input.header) : 0;
    FLAC__stream_decoder_delete(decoder);
    return whole;
}

// One Zstandard frame that fills out exactly and ends with in.
bool unzstd_exactly(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size)
{
    return ZSTD_findFrameCompressedSize(in, in_size) == in_size &&
           ZSTD_decompress(out, out_size, in, in_size) == out_size;
}

// The frames of a CD codec's container: the bitmap, the length of the
// sector bytes' stream, that stream, the subcode bytes' stream.
bool unpack_container(std::uint32_t codec, const std::uint8_t* in, std::size_t size, std::uint32_t frames,
                      unpack_room& room, const std::uint8_t*& flags)
{
    const std::size_t sectors = room.base.size(), subcodes = room.subcode.size();
    const std::size_t bitmap = (frames + 7) / 8;
    const int length_bytes = std::size_t{frames} * chd_frame_bytes < 65536 ? 2 : 3;
    if (size < bitmap + static_cast<std::size_t>(length_bytes)) return false;
    const auto base = static_cast<std::size_t>(get_be(in + bitmap, length_bytes));
    const std::size_t start = bitmap + static_cast<std::size_t>(length_bytes);
    if (base > size - start) return false;
    const std::uint8_t* rest = in + start + base;
    const std::size_t rest_size = size - start - base;
    flags = in;
    if (codec == cdzs)
        return unzstd_exactly(in + start, base, room.base.data(), sectors) &&
               unzstd_exactly(rest, rest_size, room.subcode.data(), subcodes);
    const bool unpacked = codec == cdlz ? unlzma_exactly(in + start, base, room.base.data(), sectors)
                                        : inflate_exactly(in + start, base, room.base.data(), sectors);
    return unpacked && inflate_exactly(rest, rest_size, room.subcode.data(), subcodes);
}

}  // namespace

bool is_known_codec(std::uint32_t codec)
{
    return codec == cdlz || codec == cdzl || codec == cdfl || codec == cdzs || codec == zstd;
}

std::string codec_name(std::uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<char>(code >> shift);
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

bool unpack_hunk(std::uint32_t codec, const std::uint8_t* in, std::size_t size, std::uint32_t frames, std::uint8_t* out,
                 unpack_room& room)
{
    if (codec == zstd) return unzstd_exactly(in, size, out, std::size_t{frames} * chd_frame_bytes);
    room.base.resize(std::size_t{frames} * chd_sector_bytes);
    room.subcode.resize(std::size_t{frames} * chd_subcode_bytes);
    const std::uint8_t* flags = nullptr;  // frames whose sync and parity were stripped
    if (codec == cdfl) {
        std::size_t used = 0;
        if (!unflac_exactly(in, size, room.base.data(), room.base.size(), used) ||
            !inflate_exactly(in + used, size - used, room.subcode.data(), room.subcode.size()))
            return false;
    } else if (!unpack_container(codec, in, size, frames, room, flags)) {
        return false;
    }
    for (std::uint32_t k = 0; k < frames; ++k) {
        std::uint8_t* frame = out + std::size_t{k} * chd_frame_bytes;
        std::memcpy(frame, room.base.data() + std::size_t{k} * chd_sector_bytes, chd_sector_bytes);
        std::memcpy(frame + chd_sector_bytes, room.subcode.data() + std::size_t{k} * chd_subcode_bytes,
                    chd_subcode_bytes);
        if (flags != nullptr && (flags[k / 8] >> (k % 8) & 1) != 0) regenerate_sync_and_parity(frame);
    }
    return true;
}
