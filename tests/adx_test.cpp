// The ADX decoder and the WAV writer against a plain decoder written from the
// formula, and against ffmpeg's own ADX decoder.
#include "adxconv.h"
#include "passes.h"
#include "util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

// One frame, one sample at a time: (d * scale * 4576 + s1 * w1 - s2 * w2)
// wrapped to 32 bits, shifted right by 14 with the sign, clamped.
void reference_frame(const std::uint8_t* frame, int& s1, int& s2, adx_weights w, std::vector<std::int16_t>& out)
{
    const std::int64_t scale = frame[0] << 8 | frame[1];
    for (int i = 0; i < 32; ++i) {
        const int nibble = (frame[2 + i / 2] >> (i % 2 == 0 ? 4 : 0)) & 15;
        const std::int64_t d = nibble >= 8 ? nibble - 16 : nibble;
        const auto sum = static_cast<std::int32_t>(static_cast<std::uint32_t>(d * scale * 4576 + s1 * std::int64_t{w.s1} - s2 * std::int64_t{w.s2}));
        const int v = std::clamp(sum >> 14, -32768, 32767);
        s2 = s1;
        s1 = v;
        out.push_back(static_cast<std::int16_t>(v));
    }
}

// Interleaved samples of 36-byte units of one or two channels.
std::vector<std::int16_t> reference_decode(std::span<const std::uint8_t> units, int channels, adx_weights w)
{
    std::vector<std::int16_t> out;
    int hist[4] = {};
    for (std::size_t at = 0; at + 36 <= units.size(); at += 36) {
        std::vector<std::int16_t> ch[2];
        for (int f = 0; f < 2; ++f) {
            const int c = channels == 2 ? f : 0;
            reference_frame(&units[at + 18 * static_cast<std::size_t>(f)], hist[2 * c], hist[2 * c + 1], w, ch[c]);
        }
        for (std::size_t i = 0; i < ch[0].size(); ++i) {
            out.push_back(ch[0][i]);
            if (channels == 2) out.push_back(ch[1][i]);
        }
    }
    return out;
}

constexpr adx_weights fixed{29336, 13136};

TEST(Adx, UnitDecodersMatchThePlainDecoderOnRandomFrames)
{
    std::mt19937 rng(7);
    for (const int channels : {1, 2}) {
        for (const adx_weights w : {fixed, adx_weights{26276, 10536}}) {
            bytes units(36 * 300);
            for (auto& b : units) b = static_cast<std::uint8_t>(rng());
            // Scales from 0 to 0xFFFF, the extremes included: clamping and wrapping both happen.
            const int scales[] = {0, 1, 2, 0x7FFF, 0xFFFF};
            for (std::size_t f = 0; f < 5; ++f) units[18 * f] = scales[f] >> 8, units[18 * f + 1] = scales[f] & 0xFF;
            std::vector<std::int16_t> got;
            int prev[4] = {};
            for (std::size_t at = 0; at < units.size(); at += 36) {
                std::int16_t out[64];
                (channels == 1 ? convert_mono : convert_stereo)(out, &units[at], prev, w);
                got.insert(got.end(), out, out + 64);
            }
            EXPECT_EQ(got, reference_decode(units, channels, w)) << channels << " channels, w1 " << w.s1;
        }
    }
}

TEST(Adx, WeightsFollowTheSampleRateAndCutoff)
{
    struct row { std::uint32_t rate; int cutoff; adx_weights w; };
    for (const row& r : {row{48000, 500, {29600, 13372}}, row{32000, 500, {28136, 12080}},
                         row{22050, 500, {26276, 10536}}, row{44100, 500, fixed}, row{0, 500, fixed},
                         row{44100, 0, fixed}, row{22050, 0, fixed}}) {
        const adx_weights w = adx_weights_for(r.rate, r.cutoff);
        EXPECT_EQ(w.s1, r.w.s1) << r.rate << "/" << r.cutoff;
        EXPECT_EQ(w.s2, r.w.s2) << r.rate << "/" << r.cutoff;
    }
}

std::uint32_t be32(const bytes& b, std::size_t at)
{
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

std::uint32_t le(const bytes& b, std::size_t at, int n)
{
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
    return v;
}

bytes write_wav(std::span<const std::uint8_t> adx, std::size_t first, std::size_t chunk)
{
    std::FILE* wav = std::tmpfile();
    EXPECT_EQ(printed_by([&] {
        adx_write_init();
        for (std::size_t at = 0, n = first; at < adx.size(); at += n, n = chunk)
            adx_write(wav, adx.data() + at, static_cast<int>(std::min(n, adx.size() - at)));
        adx_write(wav, nullptr, 0);
    }), "");
    return contents(wav);
}

TEST(Adx, WriterGivesTheDeclaredSamplesWhateverTheChunks)
{
    struct row { const char* name; bytes adx; adx_weights w; };
    bytes short_count = adx_tone(2, 44100, 0.3);
    short_count[12] = short_count[13] = 0, short_count[14] = 0x03, short_count[15] = 0xE8;  // 1000 per channel
    bytes cut = adx_tone(1, 22050, 0.3);
    cut.resize(cut.size() - 1000);  // fewer frames than declared: the header must say what came
    // A header too short to hold the cutoff: "(c)CRI" at 11 overlaps the rate's low byte and the count.
    bytes no_cutoff = {0x80, 0, 0, 13, 3, 18, 4, 1, 0, 0, 0x56, '(', 'c', ')', 'C', 'R', 'I'};  // 22056 Hz
    no_cutoff.insert(no_cutoff.end(), cut.begin() + 36, cut.end());
    const row rows[] = {
        {"stereo 44.1 kHz, fixed weights", adx_tone(2, 44100, 0.3), fixed},
        {"declared count shorter than the frames", short_count, fixed},
        {"mono 22050 Hz, cut short", cut, {26276, 10536}},
        {"no cutoff field", no_cutoff, adx_weights_for(0x5628, 500)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const int channels = r.adx[7];
        const std::size_t start = static_cast<std::size_t>(r.adx[2] << 8 | r.adx[3]) + 4;
        const std::uint64_t declared = std::uint64_t{be32(r.adx, 12)} * static_cast<std::uint64_t>(channels);
        bytes frames(r.adx.begin() + static_cast<long>(start), r.adx.end());
        frames.resize((frames.size() + 35) / 36 * 36, 0);  // the last partial unit is completed with zeros
        std::vector<std::int16_t> pcm = reference_decode(frames, channels, r.w);
        if (pcm.size() > declared) pcm.resize(declared);

        const bytes wav = write_wav(r.adx, r.adx.size(), 0);
        ASSERT_EQ(wav.size(), 44 + 2 * pcm.size());
        EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4) + std::string(wav.begin() + 8, wav.begin() + 16) +
                      std::string(wav.begin() + 36, wav.begin() + 40), "RIFFWAVEfmt data");
        EXPECT_EQ(le(wav, 16, 4), 16u);
        EXPECT_EQ(le(wav, 4, 4), 36 + 2 * pcm.size());
        EXPECT_EQ(le(wav, 20, 2), 1u);
        EXPECT_EQ(le(wav, 22, 2), static_cast<std::uint32_t>(channels));
        EXPECT_EQ(le(wav, 24, 4), be32(r.adx, 8));
        EXPECT_EQ(le(wav, 28, 4), le(wav, 24, 4) * 2 * static_cast<std::uint32_t>(channels));
        EXPECT_EQ(le(wav, 32, 4), 2u * static_cast<std::uint32_t>(channels) | 16u << 16);
        EXPECT_EQ(le(wav, 40, 4), 2 * pcm.size());
        for (std::size_t i = 0; i < pcm.size(); ++i) {
            if (static_cast<std::int16_t>(le(wav, 44 + 2 * i, 2)) != pcm[i]) {
                ADD_FAILURE() << "sample " << i;
                break;
            }
        }
        for (const std::size_t chunk : {1, 35, 36, 37, 2018})
            EXPECT_EQ(write_wav(r.adx, start + chunk / 2, chunk), wav) << "chunks of " << chunk;
    }
}

TEST(Adx, PassOneMatchesFfmpegsDecoderAtEveryRate)
{
    temp_dir dir;
    for (const auto& [channels, rate] : {std::pair{1, 22050}, {2, 32000}, {2, 48000}, {2, 44100}}) {
        SCOPED_TRACE(rate);
        const bytes& adx = adx_tone(channels, rate, 1.0);
        write_bytes(dir / "a.sfd", sfd::flatten(sfd::mux(mpeg1_video(1.0), adx)));
        write_bytes(dir / "a.adx", adx);
        std::FILE* input = std::fopen((dir / "a.sfd").c_str(), "rb");
        std::FILE* wav = std::fopen((dir / "a.wav").c_str(), "wb");
        std::uint8_t sector[2048];
        demux_audio(input, wav, sector);
        std::fclose(input);
        std::fclose(wav);
        const bytes ours = read_bytes(dir / "a.wav");
        const run_result ref = run_shell("ffmpeg -nostdin -v error -i " + quoted((dir / "a.adx").string()) + " -f s16le -");
        ASSERT_GT(ours.size(), 44u);
        const std::size_t n = std::min(ours.size() - 44, ref.out.size()) / 2;
        ASSERT_GT(n, static_cast<std::size_t>(rate) * channels * 9 / 10);
        // Pearson correlation and the level of ours against ffmpeg's decode.
        double sx = 0, sy = 0, xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = static_cast<std::int16_t>(le(ours, 44 + 2 * i, 2));
            const double y = static_cast<std::int16_t>(static_cast<std::uint8_t>(ref.out[2 * i]) | static_cast<std::uint8_t>(ref.out[2 * i + 1]) << 8);
            sx += x, sy += y, xy += x * y, xx += x * x, yy += y * y;
        }
        xy -= sx * sy / n, xx -= sx * sx / n, yy -= sy * sy / n;
        std::printf("%d Hz: correlation %.6f, level %.4f\n", rate, xy / std::sqrt(xx * yy), std::sqrt(xx / yy));
        EXPECT_GE(xy / std::sqrt(xx * yy), 0.9999);
        EXPECT_NEAR(std::sqrt(xx / yy), 0.279, 0.002);
    }
}

}  // namespace
