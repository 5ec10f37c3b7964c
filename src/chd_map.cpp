// The map of a CHD's hunks: in an uncompressed CHD, a hunk's place in hunks
// of the file; in a compressed one, a Huffman code of 16 symbols (its code
// lengths sent with runs), the type of every hunk in that code with runs of
// the type before, then each hunk's fields (its compressed length, CRC-16,
// or the hunk it copies), checked by a CRC-16 of the map as it expands.
#include "chd.h"

#include "platform.h"

#include <array>

namespace {

constexpr int map_header_bytes = 16;
constexpr int expanded_entry_bytes = 12;
// The pseudo-types that the map's code has beyond the hunk types: runs of
// the type before (a short and a long run), copies of the hunk copied
// before (the same one, the next one), and of a parent's hunks.
constexpr int short_run = 7, long_run = 8, same_copy = 9, next_copy = 10;
constexpr int first_parent_pseudo = 11, last_parent_pseudo = 13;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, most significant
// bit first. Table k gives a byte's share of the CRC with k zero bytes after
// it, so that eight bytes are taken at a time.
constexpr std::array<std::array<std::uint16_t, 256>, 8> crc16_tables = [] {
    std::array<std::array<std::uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i << 8;
        for (int b = 0; b < 8; ++b) c = c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1;
        t[0][i] = static_cast<std::uint16_t>(c);
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = static_cast<std::uint16_t>(t[k - 1][i] << 8 ^ t[0][t[k - 1][i] >> 8]);
    return t;
}();

}  // namespace

std::uint16_t crc16(const std::uint8_t* p, std::size_t n)
{
    const auto& t = crc16_tables;
    unsigned crc = 0xFFFF;
    for (; n >= 8; p += 8, n -= 8)
        crc = t[7][p[0] ^ crc >> 8] ^ t[6][p[1] ^ (crc & 0xFF)] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^
              t[1][p[6]] ^ t[0][p[7]];
    for (; n > 0; ++p, --n) crc = (crc << 8 ^ t[0][(crc >> 8 ^ *p) & 0xFF]) & 0xFFFF;
    return static_cast<std::uint16_t>(crc);
}

namespace {

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

// The widths and totals that the map's header gives.
struct map_header {
    std::uint64_t length;  // bytes of the map's bits
    std::uint64_t offset;  // where the first stored hunk lies
    std::uint16_t crc;
    int length_bits, self_bits;
};

// Each hunk's type, the runs expanded; false when the bits are no code.
bool read_types(bit_reader& r, const huffman& code, std::vector<std::uint8_t>& types)
{
    std::uint8_t last = 0;
    std::uint32_t repeat = 0;
    for (std::uint8_t& type : types) {
        if (repeat > 0) {
            type = last;
            --repeat;
            continue;
        }
        const int s = code.decode(r);
        if (s < 0) return false;
        if (s == short_run || s == long_run) {
            const int a = code.decode(r), b = s == long_run ? code.decode(r) : 0;
            if (a < 0 || b < 0) return false;
            repeat = s == short_run ? 2 + static_cast<std::uint32_t>(a)
                                    : 2 + 16 + 16 * static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b);
            type = last;
        } else {
            type = last = static_cast<std::uint8_t>(s);
        }
    }
    return true;
}

// The fields of hunk i of its type; false, with why, when they are damaged.
bool read_hunk(bit_reader& r, const map_header& h, std::size_t i, std::uint8_t type, std::uint64_t& offset,
               std::uint64_t& last_self, chd_layout& chd, std::string& why)
{
    chd_hunk& hunk = chd.hunks[i];
    hunk = {type, 0, 0, 0};
    why = "its map is damaged";
    if (type <= codec3) {
        hunk.length = r.read(h.length_bits);
        hunk.crc = static_cast<std::uint16_t>(r.read(16));
        hunk.offset = offset;
        offset += hunk.length;
        if (chd.codecs[type] == 0 || hunk.length > chd.hunk_bytes) return false;
    } else if (type == uncompressed) {
        hunk.length = chd.hunk_bytes;
        hunk.crc = static_cast<std::uint16_t>(r.read(16));
        hunk.offset = offset;
        offset += chd.hunk_bytes;
    } else if (type == self_copy || type == same_copy || type == next_copy) {
        if (type == self_copy) last_self = r.read(h.self_bits);
        if (type == next_copy) ++last_self;
        hunk.type = self_copy;
        hunk.offset = last_self;
        if (last_self >= i) return false;
    } else if (type == parent_copy || (type >= first_parent_pseudo && type <= last_parent_pseudo)) {
        why = "needs its parent CHD, which this program does not read";
        return false;
    } else {
        return false;
    }
    return !r.past;
}

// A hunk's entry in the map as its CRC covers it: type, length, offset, CRC.
void expand(const chd_hunk& hunk, std::uint8_t* e)
{
    e[0] = hunk.type;
    for (int b = 0; b < 3; ++b) e[1 + b] = static_cast<std::uint8_t>(hunk.length >> (8 * (2 - b)));
    for (int b = 0; b < 6; ++b) e[4 + b] = static_cast<std::uint8_t>(hunk.offset >> (8 * (5 - b)));
    e[10] = static_cast<std::uint8_t>(hunk.crc >> 8);
    e[11] = static_cast<std::uint8_t>(hunk.crc);
}

}  // namespace

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

bool read_map(std::FILE* f, std::uint64_t size, std::uint64_t map, chd_layout& chd, std::string& why)
{
    const auto fail = [&why](const char* reason) {
        why = reason;
        return false;
    };
    std::uint8_t raw[map_header_bytes];
    if (map + sizeof raw > size || !seek_file(f, map) || std::fread(raw, 1, sizeof raw, f) != sizeof raw)
        return fail("its map lies outside the file");
    const map_header h{get_be(raw, 4), get_be(raw + 4, 6), static_cast<std::uint16_t>(get_be(raw + 10, 2)), raw[12],
                       raw[13]};
    const int parent_bits = raw[14];
    if (map + sizeof raw + h.length > size) return fail("its map lies outside the file");
    if (h.length_bits > 32 || h.self_bits > 32 || parent_bits > 32) return fail("its map is damaged");
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(h.length));
    if (std::fread(bits.data(), 1, bits.size(), f) != bits.size()) return fail("its map lies outside the file");
    bit_reader r{bits.data(), bits.size() * 8};
    huffman code;
    std::vector<std::uint8_t> types(chd.hunks.size());
    if (!code.import(r) || !read_types(r, code, types)) return fail("its map is damaged");
    std::vector<std::uint8_t> expanded(chd.hunks.size() * expanded_entry_bytes);
    std::uint64_t offset = h.offset, last_self = 0;
    for (std::size_t i = 0; i < chd.hunks.size(); ++i) {
        if (!read_hunk(r, h, i, types[i], offset, last_self, chd, why)) return false;
        const chd_hunk& hunk = chd.hunks[i];
        if (hunk.type <= uncompressed && hunk.offset + hunk.length > map)
            return fail("its map points outside the file");
        expand(hunk, &expanded[expanded_entry_bytes * i]);
    }
    if (crc16(expanded.data(), expanded.size()) != h.crc) return fail("its map's CRC does not match");
    chd.checked = true;
    return true;
}
