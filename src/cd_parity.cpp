// The regeneration of a data sector's sync and error-correction bytes, which
// the CD codecs of CHDs strip: P and Q parity (ECMA-130), Reed-Solomon codes
// over GF(2^8) of polynomial x^8 + x^4 + x^3 + x^2 + 1, of the sector's bytes
// from 12 on (a mode 2 sector's header counting as zeros). Each vector of
// bytes d_i gets two parity bytes A and B: with S0 the XOR of the d_i and
// S1 = sum of d_i·α^(n−1−i), A = (α²·S1 ⊕ S0) / (1 ⊕ α) and B = S0 ⊕ A.
// Every data sector of a CHD passes through here: the vectors are summed
// side by side, a row at a time where they lie so, and the divisions come
// from a table.
#include "chd.h"

#include <array>
#include <cstring>

namespace {

constexpr std::uint8_t sync_pattern[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr int covered_from = 12;  // the header: where the positions that parity covers start
constexpr int positions = 2236;   // the header, the data, the P parity
constexpr int p_parity = 2076;
constexpr int q_parity = 2248;
// P: 86 vectors of 24 bytes, vector p at positions p + 86·i; Q (over P too):
// 52 vectors of 43 bytes, vector q at 86·(q / 2) + q % 2 + 88·i, wrapping at 2236.
constexpr int p_vectors = 86, p_length = 24;
constexpr int q_vectors = 52, q_length = 43;

// x·α: a shift, reduced by the polynomial.
constexpr std::uint8_t times_alpha(std::uint8_t x)
{
    return static_cast<std::uint8_t>(x << 1 ^ (x >> 7) * 0x1D);
}

// x / (1 ⊕ α), for every x: multiplying by 1 ⊕ α is a one-to-one map.
constexpr std::array<std::uint8_t, 256> over_one_plus_alpha = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned a = 0; a < 256; ++a) {
        const auto x = static_cast<std::uint8_t>(a);
        t[static_cast<std::uint8_t>(times_alpha(x) ^ x)] = x;
    }
    return t;
}();

// The parity bytes A and B of a vector whose sums are s0 and s1.
void put_parity(std::uint8_t s0, std::uint8_t s1, std::uint8_t& a, std::uint8_t& b)
{
    a = over_one_plus_alpha[static_cast<std::uint8_t>(times_alpha(times_alpha(s1)) ^ s0)];
    b = static_cast<std::uint8_t>(s0 ^ a);
}

}  // namespace

void regenerate_sync_and_parity(std::uint8_t* s)
{
    std::memcpy(s, sync_pattern, sizeof sync_pattern);
    std::uint8_t d[positions];
    std::memcpy(d, s + covered_from, positions);
    if (s[15] == 2) std::memset(d, 0, 4);
    // P: the vectors side by side, a row of 86 bytes at a time.
    std::uint8_t s0[p_vectors] = {}, s1[p_vectors] = {};
    for (int i = 0; i < p_length; ++i) {
        const std::uint8_t* row = d + p_vectors * i;
        for (int p = 0; p < p_vectors; ++p) {
            s0[p] ^= row[p];
            s1[p] = static_cast<std::uint8_t>(times_alpha(s1[p]) ^ row[p]);
        }
    }
    for (int p = 0; p < p_vectors; ++p) {
        put_parity(s0[p], s1[p], s[p_parity + p], s[p_parity + p_vectors + p]);
        d[p_parity - covered_from + p] = s[p_parity + p];
        d[p_parity - covered_from + p_vectors + p] = s[p_parity + p_vectors + p];
    }
    // Q: the 2236 positions are 26 rows of 86; the two vectors 2k and 2k + 1
    // take their byte i from row (k + i) mod 26, columns 2i and 2i + 1. So a
    // step takes two columns, each twice over, from which the vectors' bytes
    // lie side by side.
    constexpr int rows = positions / p_vectors, pairs = q_vectors / 2;
    std::uint8_t even0[pairs] = {}, even1[pairs] = {}, odd0[pairs] = {}, odd1[pairs] = {};
    for (int i = 0; i < q_length; ++i) {
        std::uint8_t even[2 * rows], odd[2 * rows];
        for (int r = 0; r < rows; ++r) {
            even[r] = even[r + rows] = d[p_vectors * r + 2 * i];
            odd[r] = odd[r + rows] = d[p_vectors * r + 2 * i + 1];
        }
        const std::uint8_t* e = even + i % rows;
        const std::uint8_t* o = odd + i % rows;
        for (int k = 0; k < pairs; ++k) {
            even0[k] ^= e[k];
            even1[k] = static_cast<std::uint8_t>(times_alpha(even1[k]) ^ e[k]);
            odd0[k] ^= o[k];
            odd1[k] = static_cast<std::uint8_t>(times_alpha(odd1[k]) ^ o[k]);
        }
    }
    for (int k = 0; k < pairs; ++k) {
        put_parity(even0[k], even1[k], s[q_parity + 2 * k], s[q_parity + q_vectors + 2 * k]);
        put_parity(odd0[k], odd1[k], s[q_parity + 2 * k + 1], s[q_parity + q_vectors + 2 * k + 1]);
    }
}
