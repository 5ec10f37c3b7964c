// A .chd: MAME's compressed hunks of data, version 5, of a CD or GD-ROM. Its
// header names the codecs; its map (Huffman-coded) tells where each hunk
// lies and how it is stored; its metadata lists the tracks, which lie one
// after another in its frames of 2352 sector bytes and 96 subcode bytes,
// each padded to a multiple of four frames. Hunks are decompressed as they
// are read: the CD codecs cdlz (LZMA, deflate), cdzl (deflate, deflate) and
// cdfl (FLAC, deflate), uncompressed hunks and copies of an earlier hunk; each
// is checked against the CRC-16 the map records, after the sync and
// error-correction bytes that the codecs strip from data sectors are made again.
#include "disc.h"

#include "messages.h"
#include "platform.h"

#include <FLAC/stream_decoder.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

namespace {

// ---------------------------------------------------------------------------
// Big-endian fields, the CRC-16 of hunks and of the map

std::uint64_t get_be(const std::uint8_t* p, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, most significant bit first.
constexpr std::array<std::uint16_t, 256> crc16_table = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i << 8;
        for (int b = 0; b < 8; ++b) c = c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1;
        t[i] = static_cast<std::uint16_t>(c);
    }
    return t;
}();

std::uint16_t crc16(const std::uint8_t* p, std::size_t n)
{
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) crc = (crc << 8 ^ crc16_table[(crc >> 8 ^ p[i]) & 0xFF]) & 0xFFFF;
    return static_cast<std::uint16_t>(crc);
}

constexpr std::uint32_t fourcc(const char (&s)[5])
{
    return std::uint32_t{static_cast<std::uint8_t>(s[0])} << 24 | std::uint32_t{static_cast<std::uint8_t>(s[1])} << 16 |
           std::uint32_t{static_cast<std::uint8_t>(s[2])} << 8 | std::uint32_t{static_cast<std::uint8_t>(s[3])};
}

std::string fourcc_text(std::uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<char>(code >> shift);
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

// ---------------------------------------------------------------------------
// The header, the codecs

constexpr int header_bytes = 124;
constexpr int version_field = 12;
constexpr int codecs_field = 16;
constexpr int logical_field = 32;
constexpr int map_field = 40;
constexpr int metadata_field = 48;
constexpr int hunk_bytes_field = 56;
constexpr int unit_bytes_field = 60;
constexpr int parent_sha1_field = 104;
constexpr int frame_bytes = 2448;  // a unit: 2352 sector bytes and 96 subcode bytes
constexpr int subcode_bytes = 96;
constexpr std::uint32_t max_hunk_bytes = 1024 * 1024;

constexpr std::uint32_t cdlz = fourcc("cdlz");
constexpr std::uint32_t cdzl = fourcc("cdzl");
constexpr std::uint32_t cdfl = fourcc("cdfl");

// How a hunk is stored, as the map says after its pseudo-types are resolved.
enum hunk_type : std::uint8_t { codec0, codec1, codec2, codec3, uncompressed, self_copy, parent_copy };

// ---------------------------------------------------------------------------
// The map

constexpr int map_header_bytes = 16;

// Reads the map's bits, most significant first; past the end it fails.
struct bit_reader {
    const std::uint8_t* data;
    std::size_t bits;
    std::size_t at = 0;
    bool past = false;
    std::uint32_t read(int n)
    {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++at) {
            if (at >= bits) {
                past = true;
                return 0;
            }
            v = v << 1 | ((data[at / 8] >> (7 - at % 8)) & 1);
        }
        return v;
    }
};

// The map's Huffman code of 16 symbols of at most 8 bits: the code lengths,
// sent with runs, give the codes, longest ones the smallest values.
struct huffman {
    std::array<std::uint8_t, 256> symbol{};
    std::array<std::uint8_t, 256> length{};  // 0: no code starts so

    bool import(bit_reader& r)
    {
        std::uint8_t lengths[16] = {};
        for (int i = 0; i < 16;) {
            const std::uint32_t v = r.read(4);
            if (v != 1) {
                lengths[i++] = static_cast<std::uint8_t>(v);
                continue;
            }
            const std::uint32_t w = r.read(4);
            if (w == 1) {
                lengths[i++] = 1;
                continue;
            }
            const std::uint32_t n = r.read(4) + 3;
            if (i + n > 16) return false;
            for (std::uint32_t k = 0; k < n; ++k) lengths[i++] = static_cast<std::uint8_t>(w);
        }
        if (r.past) return false;
        // Canonical codes: the longest first.
        std::uint32_t first[33] = {};
        std::uint32_t start = 0;
        for (int len = 32; len >= 1; --len) {
            std::uint32_t count = 0;
            for (const std::uint8_t l : lengths) count += l == len;
            first[len] = start;
            const std::uint32_t s = start + count;
            if (len > 1 && s % 2 != 0) return false;
            start = s / 2;
        }
        for (int sym = 0; sym < 16; ++sym) {
            const int len = lengths[sym];
            if (len == 0) continue;
            if (len > 8) return false;
            const std::uint32_t code = first[len]++;
            if (code >= (1u << len)) return false;
            const std::uint32_t from = code << (8 - len), to = (code + 1) << (8 - len);
            for (std::uint32_t e = from; e < to; ++e) {
                symbol[e] = static_cast<std::uint8_t>(sym);
                length[e] = static_cast<std::uint8_t>(len);
            }
        }
        return true;
    }

    // The next symbol; -1 when the bits are no code.
    int decode(bit_reader& r) const
    {
        const std::size_t at = r.at;
        const std::uint32_t peek = r.read(8);  // past the end it reads zeros
        r.past = false;
        const int len = length[peek];
        r.at = at + static_cast<std::size_t>(len);
        if (len == 0 || r.at > r.bits) return -1;
        return symbol[peek];
    }
};

// ---------------------------------------------------------------------------
// Making the sync and error-correction bytes of a data sector again

struct galois {
    std::array<std::uint8_t, 256> exp{};
    std::array<std::uint8_t, 256> log{};
    constexpr galois()
    {
        unsigned v = 1;
        for (int i = 0; i < 255; ++i) {
            exp[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
            log[v] = static_cast<std::uint8_t>(i);
            v <<= 1;
            if (v & 0x100) v ^= 0x11D;
        }
        exp[255] = exp[0];
    }
    std::uint8_t mul(std::uint8_t a, std::uint8_t b) const
    {
        return a == 0 || b == 0 ? 0 : exp[(log[a] + log[b]) % 255];
    }
    std::uint8_t div(std::uint8_t a, std::uint8_t b) const { return a == 0 ? 0 : exp[(log[a] + 255 - log[b]) % 255]; }
};
constexpr galois gf;

constexpr std::uint8_t sync_pattern[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr int p_parity = 2076;
constexpr int q_parity = 2248;

// x·α: a shift, reduced by the polynomial.
inline std::uint8_t times_alpha(std::uint8_t x)
{
    return static_cast<std::uint8_t>(x << 1 ^ (x & 0x80 ? 0x1D : 0));
}

// The two parity bytes of count bytes of the sector from byte 12 on, the
// first at position start, each next one step positions further (wrapping
// at 2236), a mode 2 sector's header (positions 0 to 3) counting as zeros:
// with S0 the XOR of the bytes d_i and S1 = Σ d_i·α^(count−i),
// A = (α·S1 ⊕ S0) / (1 ⊕ α) and B = S0 ⊕ A.
void parity(std::uint8_t* s, int count, int start, int step, std::uint8_t* a_out, std::uint8_t* b_out)
{
    constexpr int positions = 2236;
    const std::uint8_t* from = s + 12;
    const bool mode2 = s[15] == 2;
    std::uint8_t s0 = 0, horner = 0;  // horner = Σ d_i·α^(count−1−i)
    for (int i = 0, x = start; i < count; ++i) {
        const std::uint8_t d = mode2 && x < 4 ? 0 : from[x];
        s0 ^= d;
        horner = static_cast<std::uint8_t>(times_alpha(horner) ^ d);
        x += step;
        if (x >= positions) x -= positions;
    }
    const auto a = gf.div(static_cast<std::uint8_t>(times_alpha(times_alpha(horner)) ^ s0), 3);
    *a_out = a;
    *b_out = static_cast<std::uint8_t>(s0 ^ a);
}

// Writes the sync pattern and the P and Q parity of a data sector: P of 86
// vectors of 24 bytes 86 positions apart, Q (over P too) of 52 vectors of
// 43 bytes 88 positions apart, each pair of Q vectors a byte apart.
void regenerate_ecc(std::uint8_t* s)
{
    std::memcpy(s, sync_pattern, sizeof sync_pattern);
    for (int p = 0; p < 86; ++p) parity(s, 24, p, 86, s + p_parity + p, s + p_parity + 86 + p);
    for (int q = 0; q < 52; ++q) parity(s, 43, 86 * (q / 2) + q % 2, 88, s + q_parity + q, s + q_parity + 52 + q);
}

// ---------------------------------------------------------------------------
// The codecs

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

}  // namespace

// ---------------------------------------------------------------------------
// What the disc layer keeps of a CHD, and reads through

struct chd_hunk {
    std::uint8_t type;
    std::uint32_t length;
    std::uint64_t offset;  // in the file; for a copy, the hunk copied
    std::uint16_t crc;
};

struct chd_layout {
    std::uint32_t codecs[4];
    std::uint32_t hunk_bytes;
    std::uint32_t frames_per_hunk;
    std::uint64_t logical;
    bool checked;  // the hunks' CRCs are recorded (a compressed CHD)
    std::vector<chd_hunk> hunks;
};

namespace {

// Reads the header; false, with why, for a file that is not a CHD of version 5 this program reads.
bool read_header(std::FILE* f, std::uint64_t size, chd_layout& chd, std::uint64_t& map, std::uint64_t& metadata,
                 std::string& why)
{
    std::uint8_t h[header_bytes];
    if (std::fread(h, 1, sizeof h, f) != sizeof h || std::memcmp(h, "MComprHD", 8) != 0) {
        why = "not a CHD";
        return false;
    }
    const auto version = get_be(h + version_field, 4);
    if (version != 5 || get_be(h + 8, 4) != header_bytes) {
        why = "a CHD of version " + std::to_string(version) + "; this program reads version 5";
        return false;
    }
    if (std::any_of(h + parent_sha1_field, h + parent_sha1_field + 20, [](std::uint8_t b) { return b != 0; })) {
        why = "needs its parent CHD, which this program does not read";
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        chd.codecs[i] = static_cast<std::uint32_t>(get_be(h + codecs_field + 4 * i, 4));
        const std::uint32_t c = chd.codecs[i];
        if (c != 0 && c != cdlz && c != cdzl && c != cdfl) {
            why = "compressed with " + fourcc_text(c) + ", which this program can't read";
            return false;
        }
    }
    chd.logical = get_be(h + logical_field, 8);
    map = get_be(h + map_field, 8);
    metadata = get_be(h + metadata_field, 8);
    chd.hunk_bytes = static_cast<std::uint32_t>(get_be(h + hunk_bytes_field, 4));
    if (get_be(h + unit_bytes_field, 4) != frame_bytes || chd.hunk_bytes == 0 || chd.hunk_bytes % frame_bytes != 0 ||
        chd.hunk_bytes > max_hunk_bytes) {
        why = "not a CHD of a CD or GD-ROM (hunks of " + std::to_string(chd.hunk_bytes) + " bytes)";
        return false;
    }
    chd.frames_per_hunk = chd.hunk_bytes / frame_bytes;
    const std::uint64_t hunks = (chd.logical + chd.hunk_bytes - 1) / chd.hunk_bytes;
    if (hunks == 0 || hunks > (std::uint64_t{1} << 24) || map >= size) {
        why = "its map lies outside the file";
        return false;
    }
    chd.hunks.resize(static_cast<std::size_t>(hunks));
    return true;
}

// The map of an uncompressed CHD: a hunk's place in hunks of the file, 0 for none (zeros).
bool read_plain_map(std::FILE* f, std::uint64_t size, std::uint64_t map, chd_layout& chd, std::string& why)
{
    std::vector<std::uint8_t> raw(chd.hunks.size() * 4);
    if (map + raw.size() > size || !seek_file(f, map) || std::fread(raw.data(), 1, raw.size(), f) != raw.size()) {
        why = "its map lies outside the file";
        return false;
    }
    for (std::size_t i = 0; i < chd.hunks.size(); ++i) {
        const std::uint64_t at = get_be(&raw[4 * i], 4) * chd.hunk_bytes;
        if (at != 0 && at + chd.hunk_bytes > size) {
            why = "its map points outside the file";
            return false;
        }
        chd.hunks[i] = {uncompressed, chd.hunk_bytes, at, 0};
    }
    chd.checked = false;
    return true;
}

// The compressed map: a Huffman code, the type of every hunk, then each hunk's fields.
bool read_map(std::FILE* f, std::uint64_t size, std::uint64_t map, chd_layout& chd, std::string& why)
{
    const auto fail = [&why](const char* reason) {
        why = reason;
        return false;
    };
    std::uint8_t h[map_header_bytes];
    if (map + sizeof h > size || !seek_file(f, map) || std::fread(h, 1, sizeof h, f) != sizeof h)
        return fail("its map lies outside the file");
    const std::uint64_t length = get_be(h, 4);
    std::uint64_t offset = get_be(h + 4, 6);
    const auto expected_crc = static_cast<std::uint16_t>(get_be(h + 10, 2));
    const int length_bits = h[12], self_bits = h[13], parent_bits = h[14];
    if (map + sizeof h + length > size) return fail("its map lies outside the file");
    if (length_bits > 32 || self_bits > 32 || parent_bits > 32) return fail("its map is damaged");
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(length));
    if (std::fread(bits.data(), 1, bits.size(), f) != bits.size()) return fail("its map lies outside the file");
    bit_reader r{bits.data(), bits.size() * 8};
    huffman code;
    if (!code.import(r)) return fail("its map is damaged");
    // The types, with runs of the type before.
    std::vector<std::uint8_t> types(chd.hunks.size());
    std::uint8_t last = 0;
    std::uint32_t repeat = 0;
    for (std::uint8_t& type : types) {
        if (repeat > 0) {
            type = last;
            --repeat;
            continue;
        }
        const int s = code.decode(r);
        if (s < 0) return fail("its map is damaged");
        if (s == 7 || s == 8) {
            const int a = code.decode(r), b = s == 8 ? code.decode(r) : 0;
            if (a < 0 || b < 0) return fail("its map is damaged");
            repeat = s == 7 ? 2 + static_cast<std::uint32_t>(a)
                            : 2 + 16 + 16 * static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b);
            type = last;
        } else {
            type = last = static_cast<std::uint8_t>(s);
        }
    }
    // The fields of each hunk, and the map expanded as its CRC covers it.
    std::vector<std::uint8_t> expanded(chd.hunks.size() * 12);
    std::uint64_t last_self = 0;
    for (std::size_t i = 0; i < chd.hunks.size(); ++i) {
        chd_hunk& hunk = chd.hunks[i];
        std::uint8_t type = types[i];
        hunk = {type, 0, 0, 0};
        if (type <= codec3) {
            hunk.length = r.read(length_bits);
            hunk.crc = static_cast<std::uint16_t>(r.read(16));
            hunk.offset = offset;
            offset += hunk.length;
            if (chd.codecs[type] == 0 || hunk.length > chd.hunk_bytes) return fail("its map is damaged");
        } else if (type == uncompressed) {
            hunk.length = chd.hunk_bytes;
            hunk.crc = static_cast<std::uint16_t>(r.read(16));
            hunk.offset = offset;
            offset += chd.hunk_bytes;
        } else if (type == self_copy || type == 9 || type == 10) {
            if (type == self_copy) last_self = r.read(self_bits);
            if (type == 10) ++last_self;
            hunk.type = self_copy;
            hunk.offset = last_self;
            if (last_self >= i) return fail("its map is damaged");
        } else if (type == parent_copy || (type >= 11 && type <= 13)) {
            return fail("needs its parent CHD, which this program does not read");
        } else {
            return fail("its map is damaged");
        }
        if (r.past) return fail("its map is damaged");
        if (hunk.type <= uncompressed && hunk.offset + hunk.length > map)
            return fail("its map points outside the file");
        std::uint8_t* e = &expanded[12 * i];
        e[0] = hunk.type;
        for (int b = 0; b < 3; ++b) e[1 + b] = static_cast<std::uint8_t>(hunk.length >> (8 * (2 - b)));
        for (int b = 0; b < 6; ++b) e[4 + b] = static_cast<std::uint8_t>(hunk.offset >> (8 * (5 - b)));
        e[10] = static_cast<std::uint8_t>(hunk.crc >> 8);
        e[11] = static_cast<std::uint8_t>(hunk.crc);
    }
    if (crc16(expanded.data(), expanded.size()) != expected_crc) return fail("its map's CRC does not match");
    chd.checked = true;
    return true;
}

// A track as the metadata gives it.
struct chd_track {
    int number;
    std::string type;
    std::uint32_t frames;
    std::uint32_t pad;
    std::uint32_t pregap;
    std::uint32_t postgap;
    bool pregap_stored;
};

// "KEY:VALUE" of a metadata text; empty when the key is missing.
std::string field_of(const std::string& text, const std::string& key)
{
    std::size_t at = 0;
    while ((at = text.find(key + ":", at)) != std::string::npos) {
        if (at == 0 || text[at - 1] == ' ') {
            const std::size_t start = at + key.size() + 1;
            return text.substr(start, text.find(' ', start) - start);
        }
        at += key.size();
    }
    return "";
}

bool number_field(const std::string& text, const std::string& key, std::uint32_t max, std::uint32_t& value)
{
    std::uint64_t v = 0;
    const std::string f = field_of(text, key);
    if (f.empty()) {
        value = 0;
        return key == "PAD" || key == "PREGAP" || key == "POSTGAP";  // absent from the older forms
    }
    if (!parse_number(f, max, v)) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// The track entries of the metadata chain: a CD's (CHT2, or the older CHTR) or a GD-ROM's (CHGD, or the older CHGT).
bool read_tracks(std::FILE* f, std::uint64_t size, std::uint64_t at, std::vector<chd_track>& tracks, std::string& why)
{
    constexpr int entry_header = 16;
    constexpr std::uint32_t max_entry = 4096;
    std::set<std::uint64_t> seen;
    for (int entries = 0; at != 0; ++entries) {
        std::uint8_t h[entry_header];
        if (entries > 1000 || !seen.insert(at).second || at + entry_header > size || !seek_file(f, at) ||
            std::fread(h, 1, sizeof h, f) != sizeof h) {
            why = "its metadata points outside the file";
            return false;
        }
        const auto tag = static_cast<std::uint32_t>(get_be(h, 4));
        const auto length = static_cast<std::uint32_t>(get_be(h + 5, 3));
        const std::uint64_t next = get_be(h + 8, 8);
        if (tag == fourcc("CHCD")) {
            why = "its tracks are described in the binary CHCD form, which this program does not read";
            return false;
        }
        if (tag == fourcc("CHGD") || tag == fourcc("CHGT") || tag == fourcc("CHT2") || tag == fourcc("CHTR")) {
            std::string text(std::min(length, max_entry), '\0');
            if (at + entry_header + length > size || std::fread(text.data(), 1, text.size(), f) != text.size()) {
                why = "its metadata points outside the file";
                return false;
            }
            text.resize(std::min(text.size(), text.find('\0')));
            chd_track t{};
            std::uint64_t number = 0;
            const std::string pgtype = field_of(text, "PGTYPE");
            if (!parse_number(field_of(text, "TRACK"), 99, number) || !number_field(text, "FRAMES", 600000, t.frames) ||
                !number_field(text, "PAD", 600000, t.pad) || !number_field(text, "PREGAP", 600000, t.pregap) ||
                !number_field(text, "POSTGAP", 600000, t.postgap) ||
                static_cast<int>(number) != static_cast<int>(tracks.size()) + 1 || t.pad > t.frames) {
                why = "its track metadata is damaged: \"" + text.substr(0, 80) + "\"";
                return false;
            }
            t.number = static_cast<int>(number);
            t.type = field_of(text, "TYPE");
            t.pregap_stored = !pgtype.empty() && pgtype[0] == 'V' && t.pregap <= t.frames - t.pad;
            tracks.push_back(t);
        }
        at = next;
    }
    return true;
}

}  // namespace

bool place_chd(const std::string& path, std::uint64_t size, disc_image& image, std::string& why)
{
    file_handle f(path.c_str(), "rb", false);
    if (!f) {
        why = error_text(f.open_error());
        return false;
    }
    auto chd = std::make_shared<chd_layout>();
    std::uint64_t map = 0, metadata = 0;
    std::vector<chd_track> tracks;
    if (!read_header(f.get(), size, *chd, map, metadata, why) || !read_tracks(f.get(), size, metadata, tracks, why))
        return false;
    if (!(chd->codecs[0] == 0 ? read_plain_map : read_map)(f.get(), size, map, *chd, why)) return false;
    // Tracks lie one after another in the frames, each padded to a multiple
    // of four frames. A pregap takes addresses before the track's first
    // frame unless it is stored (its type marked V) as the first frames.
    std::uint64_t lba = 0, frame = 0;
    for (const chd_track& t : tracks) {
        const bool raw = t.type == "MODE1_RAW" || t.type == "MODE2_RAW";
        const bool cooked = t.type == "MODE1" || t.type == "MODE2_FORM1";
        const std::uint32_t stored = t.pregap_stored ? t.pregap : 0;
        if (!t.pregap_stored) lba += t.pregap;
        if (raw || cooked)
            image.tracks.push_back({t.number, static_cast<std::uint32_t>(lba + stored), t.frames - t.pad - stored,
                                    raw ? raw_sector_bytes : block_bytes, true, path, frame + stored});
        lba += std::uint64_t{t.frames} + t.postgap;
        frame += t.frames + (4 - t.frames % 4) % 4;
    }
    if (image.tracks.empty()) {
        why = "its metadata describes no data track";
        return false;
    }
    if (frame * frame_bytes > chd->hunks.size() * std::uint64_t{chd->hunk_bytes} || lba > UINT32_MAX) {
        why = "its tracks run past its hunks";
        return false;
    }
    image.chd = chd;
    return true;
}

// ---------------------------------------------------------------------------
// Reading hunks

bool chd_reader::read_frame(std::uint32_t frame, std::uint8_t*& sector, std::string& why)
{
    const std::uint32_t hunk = frame / chd_.frames_per_hunk;
    if (hunk != current_ && !decode(hunk, why)) return false;
    sector = data_.data() + std::size_t{frame % chd_.frames_per_hunk} * frame_bytes;
    return true;
}

bool chd_reader::decode(std::uint32_t hunk, std::string& why)
{
    current_ = UINT32_MAX;
    const auto damaged = [&why](std::uint32_t h) {
        why = "hunk " + std::to_string(h) + " is damaged";
        return false;
    };
    std::uint32_t source = hunk;
    while (source < chd_.hunks.size() && chd_.hunks[source].type == self_copy)
        source = static_cast<std::uint32_t>(chd_.hunks[source].offset);  // always an earlier hunk
    if (source >= chd_.hunks.size()) return damaged(hunk);
    const chd_hunk& h = chd_.hunks[source];
    data_.assign(chd_.hunk_bytes, 0);
    if (h.type == uncompressed && h.offset == 0 && !chd_.checked) {
        current_ = hunk;  // not stored: zeros
        return true;
    }
    packed_.resize(h.length);
    if (!file_ && !file_.open(path_.c_str(), "rb", false)) {
        why = error_text(file_.open_error());
        return false;
    }
    if (!seek_file(file_.get(), h.offset) ||
        std::fread(packed_.data(), 1, packed_.size(), file_.get()) != packed_.size()) {
        why = std::ferror(file_.get()) != 0 ? error_text(errno) : "hunk " + std::to_string(source) + " is damaged";
        return false;
    }
    if (h.type == uncompressed) {
        std::memcpy(data_.data(), packed_.data(), packed_.size());
    } else if (!unpack(chd_.codecs[h.type])) {
        return damaged(source);
    }
    if (chd_.checked && crc16(data_.data(), data_.size()) != h.crc) return damaged(source);
    current_ = hunk;
    return true;
}

bool chd_reader::unpack(std::uint32_t codec)
{
    const std::uint32_t f = chd_.frames_per_hunk;
    const std::size_t sectors = std::size_t{f} * raw_sector_bytes, subcodes = std::size_t{f} * subcode_bytes;
    base_.resize(sectors);
    subcode_.resize(subcodes);
    const std::uint8_t* in = packed_.data();
    const std::size_t size = packed_.size();
    const std::uint8_t* flags = nullptr;  // frames whose sync and parity were stripped
    if (codec == cdfl) {
        std::size_t used = 0;
        if (!unflac_exactly(in, size, base_.data(), sectors, used) ||
            !inflate_exactly(in + used, size - used, subcode_.data(), subcodes))
            return false;
    } else {
        const std::size_t bitmap = (f + 7) / 8;
        const int length_bytes = chd_.hunk_bytes < 65536 ? 2 : 3;
        if (size < bitmap + static_cast<std::size_t>(length_bytes)) return false;
        const auto base = static_cast<std::size_t>(get_be(in + bitmap, length_bytes));
        const std::size_t start = bitmap + static_cast<std::size_t>(length_bytes);
        if (base > size - start) return false;
        const bool unpacked = codec == cdlz ? unlzma_exactly(in + start, base, base_.data(), sectors)
                                            : inflate_exactly(in + start, base, base_.data(), sectors);
        if (!unpacked || !inflate_exactly(in + start + base, size - start - base, subcode_.data(), subcodes))
            return false;
        flags = in;
    }
    for (std::uint32_t k = 0; k < f; ++k) {
        std::uint8_t* frame = data_.data() + std::size_t{k} * frame_bytes;
        std::memcpy(frame, base_.data() + std::size_t{k} * raw_sector_bytes, raw_sector_bytes);
        std::memcpy(frame + raw_sector_bytes, subcode_.data() + std::size_t{k} * subcode_bytes, subcode_bytes);
        if (flags != nullptr && (flags[k / 8] >> (k % 8) & 1) != 0) regenerate_ecc(frame);
    }
    return true;
}
