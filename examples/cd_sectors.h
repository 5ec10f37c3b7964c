// Raw 2352-byte CD sectors as a drive writes them, for the builders of test
// images (make_disc, make_cdi): sync, the address in BCD, the mode; mode 1
// and mode 2 form 1 sectors with their EDC and P and Q parity, mode 2 form 2
// sectors (pregaps, run-out) with their EDC.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace cd {

constexpr int user_bytes = 2048;
constexpr int raw_bytes = 2352;

inline std::uint8_t bcd(std::uint32_t v)
{
    return static_cast<std::uint8_t>(v / 10 << 4 | v % 10);
}

// Sync, the address of lba (minute, second, frame of lba + 150) and the mode.
inline void put_header(std::uint8_t* s, std::uint32_t lba, std::uint8_t mode)
{
    static constexpr std::uint8_t sync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::memcpy(s, sync, sizeof sync);
    const std::uint32_t frames = lba + 150;
    s[12] = bcd(frames / 75 / 60);
    s[13] = bcd(frames / 75 % 60);
    s[14] = bcd(frames % 75);
    s[15] = mode;
}

// EDC: a CRC-32 of polynomial 0xD8018001, least significant bit first, of
// bytes from to to - 1, stored little-endian at to.
inline void put_edc(std::uint8_t* s, int from, int to)
{
    std::uint32_t edc = 0;
    for (int i = from; i < to; ++i) {
        edc ^= s[i];
        for (int b = 0; b < 8; ++b) edc = edc & 1 ? edc >> 1 ^ 0xD8018001u : edc >> 1;
    }
    for (int i = 0; i < 4; ++i) s[to + i] = static_cast<std::uint8_t>(edc >> (8 * i));
}

// GF(2^8) of x^8 + x^4 + x^3 + x^2 + 1, by shifts.
inline std::uint8_t times(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t p = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) p ^= a;
        a = static_cast<std::uint8_t>(a << 1 ^ (a & 0x80 ? 0x1D : 0));
    }
    return p;
}

// The two parity bytes of a vector of n bytes at sector positions 12 + pos(i):
// the A and B for which all n + 2 bytes XOR to 0 and the sum of byte i times
// alpha^(n+1-i), with A at alpha^1 and B at alpha^0, is 0 (found by trying
// every A).
template <typename Position>
void put_parity(std::uint8_t* s, int n, Position pos, std::uint8_t* a_at, std::uint8_t* b_at)
{
    std::uint8_t x = 0, sum = 0;
    for (int i = 0; i < n; ++i) {
        std::uint8_t term = s[12 + pos(i)];
        for (int k = 0; k < n + 1 - i; ++k) term = times(term, 2);
        x ^= s[12 + pos(i)];
        sum ^= term;
    }
    for (int a = 0; a < 256; ++a) {
        const auto b = static_cast<std::uint8_t>(x ^ a);
        if ((sum ^ times(static_cast<std::uint8_t>(a), 2) ^ b) == 0) {
            *a_at = static_cast<std::uint8_t>(a);
            *b_at = b;
            return;
        }
    }
}

// P and Q parity of a data sector; a mode 2 sector's header counts as zeros.
inline void put_pq(std::uint8_t* s)
{
    std::uint8_t header[4];
    std::memcpy(header, s + 12, 4);
    if (s[15] == 2) std::memset(s + 12, 0, 4);
    for (int p = 0; p < 86; ++p)
        put_parity(
            s, 24, [p](int c) { return p + 86 * c; }, s + 2076 + p, s + 2162 + p);
    for (int q = 0; q < 52; ++q)
        put_parity(
            s, 43, [q](int c) { return (86 * (q / 2) + 88 * c) % 2236 + q % 2; }, s + 2248 + q, s + 2300 + q);
    std::memcpy(s + 12, header, 4);
}

// A data sector of mode 1 or mode 2 form 1 at lba holding the user bytes at
// data (have of them; zeros after).
inline void data_sector(std::uint8_t* s, std::uint32_t lba, std::uint8_t mode, const std::uint8_t* data,
                        std::size_t have)
{
    std::memset(s, 0, raw_bytes);
    put_header(s, lba, mode);
    const int at = mode == 1 ? 16 : 24;
    if (mode == 2) s[18] = s[22] = 0x08;  // the subheader, twice: data
    if (have > 0) std::memcpy(s + at, data, std::min<std::size_t>(user_bytes, have));
    put_edc(s, mode == 1 ? 0 : 16, at + user_bytes);
    put_pq(s);
}

// An empty mode 2 form 2 sector at lba, as pregaps and run-out blocks hold.
inline void form2_sector(std::uint8_t* s, std::uint32_t lba)
{
    std::memset(s, 0, raw_bytes);
    put_header(s, lba, 2);
    s[18] = s[22] = 0x20;  // the subheader, twice: form 2
    put_edc(s, 16, 2348);
}

}  // namespace cd
