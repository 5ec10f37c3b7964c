// The regeneration of a data sector's sync and error-correction bytes, which
// the CD codecs of CHDs strip: P and Q parity (ECMA-130) are Reed-Solomon
// codes over GF(2^8) of polynomial x^8 + x^4 + x^3 + x^2 + 1.
#include "chd.h"

#include <array>
#include <cstring>

namespace {

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

}  // namespace

// P of 86 vectors of 24 bytes 86 positions apart, Q (over P too) of 52
// vectors of 43 bytes 88 positions apart, each pair of Q vectors a byte apart.
void regenerate_sync_and_parity(std::uint8_t* s)
{
    std::memcpy(s, sync_pattern, sizeof sync_pattern);
    for (int p = 0; p < 86; ++p) parity(s, 24, p, 86, s + p_parity + p, s + p_parity + 86 + p);
    for (int q = 0; q < 52; ++q) parity(s, 43, 86 * (q / 2) + q % 2, 88, s + q_parity + q, s + q_parity + 52 + q);
}
