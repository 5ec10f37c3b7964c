// The ADX decoder and the WAV writer against a plain decoder written from the
// formula, and pass 1 against ffmpeg's own ADX decoder.
#include "adxconv.h"
#include "mpeg.h"
#include "passes.h"
#include "util.h"

#include <cmath>
#include <random>

namespace {

constexpr adx_weights fixed{29336, 13136}, weights_22050{26276, 10536};

// Units of one or two channels decoded one sample at a time, straight from the formula: standard level
// d * scale * 4576 + s1 * w1 - s2 * w2, wrapped to 32 bits, shifted right by 14 with the sign, clamped;
// full level d * scale + ((s1 * w1 - s2 * w2) >> 14), clamped.
std::vector<std::int16_t> reference_decode(std::span<const std::uint8_t> units, int channels, adx_weights w, adx_level level = adx_level::standard)
{
    std::vector<std::int16_t> out(units.size() / 36 * 64);
    std::int64_t s[2][2] = {};
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t k = i % 64, c = channels == 2 ? k % 2 : 0, n = channels == 2 ? k / 2 : k % 32;
        const std::uint8_t* frame = &units[i / 64 * 36 + 18 * (channels == 2 ? c : k / 32)];
        const int nibble = frame[2 + n / 2] >> (n % 2 ? 0 : 4) & 15;
        const std::int64_t step = (nibble >= 8 ? nibble - 16 : nibble) * (frame[0] << 8 | frame[1]), prediction = s[c][0] * w.s1 - s[c][1] * w.s2;
        const std::int64_t v = level == adx_level::full ? step + (prediction >> 14) : static_cast<std::int32_t>(static_cast<std::uint32_t>(step * 4576 + prediction)) >> 14;
        s[c][1] = s[c][0];
        s[c][0] = std::clamp<std::int64_t>(v, -32768, 32767);
        out[i] = static_cast<std::int16_t>(s[c][0]);
    }
    return out;
}

TEST(Adx, UnitDecodersMatchThePlainDecoder)
{
    std::mt19937 rng(7);
    bytes units(36 * 400);
    for (auto& b : units) b = static_cast<std::uint8_t>(rng());
    // Most scales small, every fourth over the whole 16 bits: clamping and wrapping happen. The first sample,
    // nibble 4 at scale 29331 from an empty history, is 32768 before clamping; the next frame has scale 0xFFFF.
    for (std::size_t f = 0; f < units.size() / 18; ++f) units[18 * f] = f % 4 == 0 ? units[18 * f] : 0;
    units[0] = 0x72, units[1] = 0x93, units[2] = 0x40, units[18] = units[19] = 0xFF;
    for (const int channels : {1, 2}) {
        for (const adx_weights w : {fixed, weights_22050}) {
            for (const adx_level level : {adx_level::standard, adx_level::full}) {
                std::vector<std::int16_t> got(units.size() / 36 * 64);
                bytes le(2 * got.size());
                std::int32_t prev[4] = {};
                for (std::size_t u = 0; u < units.size() / 36; ++u) unit_decoder_for(channels, level)(&le[128 * u], &units[36 * u], prev, w);
                for (std::size_t i = 0; i < got.size(); ++i) got[i] = static_cast<std::int16_t>(le[2 * i] | le[2 * i + 1] << 8);
                EXPECT_EQ(got, reference_decode(units, channels, w, level)) << channels << " channels, weights " << w.s1 << ", full " << (level == adx_level::full);
            }
        }
    }
}

TEST(Adx, WeightsFollowTheSampleRateAndCutoff)
{
    const std::tuple<std::uint32_t, int, adx_weights> rows[] = {{48000, 500, {29600, 13372}}, {32000, 500, {28136, 12080}},
                                                                {22050, 500, weights_22050}, {44100, 500, {29336, 13132}}, {0, 500, fixed}, {44100, 0, fixed}};
    for (const auto& [rate, cutoff, w] : rows) EXPECT_EQ(std::pair(adx_weights_for(rate, cutoff).s1, adx_weights_for(rate, cutoff).s2), std::pair(w.s1, w.s2)) << rate;
}

// The WAV that the writer makes of adx, handed over as a first chunk and then chunks of a size.
bytes write_wav(std::span<const std::uint8_t> adx, std::size_t first, std::size_t chunk)
{
    std::FILE* wav = std::tmpfile();
    EXPECT_EQ(printed_by([&] {
        static adx_writer w;
        adx_write_init(w, adx_level::standard);
        for (std::size_t at = 0, n = first; at < adx.size(); at += n, n = chunk) adx_write(w, wav, &adx[at], static_cast<int>(std::min(n, adx.size() - at)));
        adx_write(w, wav, nullptr, 0);
    }), "");
    return contents(wav);
}

TEST(Adx, WriterGivesTheDeclaredSamplesWhateverTheChunks)
{
    bytes declared_short = adx_tone(2, 44100, 0.3), cut = adx_tone(1, 22050, 0.3);
    sfd::put_be(&declared_short[12], 1000, 4);  // 1000 samples a channel: fewer than the frames hold
    cut.resize(cut.size() - 1000);              // fewer frames than declared: the header must say what came
    // Headers of 17 and 18 bytes: "(c)CRI" overlaps the rate (22056 Hz) and the count; the second ends in the cutoff "RI".
    bytes no_cutoff = {0x80, 0, 0, 13, 3, 18, 4, 1, 0, 0, 0x56, '(', 'c', ')', 'C', 'R', 'I'}, cutoff = {0x80, 0, 0, 14, 3, 18, 4, 1, 0, 0, 0x56, 0x28, '(', 'c', ')', 'C', 'R', 'I'};
    no_cutoff.insert(no_cutoff.end(), cut.begin() + 36, cut.end());
    cutoff.insert(cutoff.end(), cut.begin() + 36, cut.end());
    const std::pair<bytes, adx_weights> rows[] = {{adx_tone(2, 44100, 0.3), fixed}, {declared_short, fixed}, {cut, weights_22050}, {no_cutoff, adx_weights_for(22056, 500)},
                                                  {cutoff, adx_weights_for(22056, 0x5249)}};
    for (const auto& row : rows) {
        const bytes& adx = row.first;  // named apart from the row: lambdas below take it
        const adx_weights w = row.second;
        const auto be = [&](std::size_t at) { return std::uint32_t{adx[at]} << 24 | adx[at + 1] << 16 | adx[at + 2] << 8 | adx[at + 3]; };
        const std::uint32_t channels = adx[7], start = (adx[2] << 8 | adx[3]) + 4u;
        bytes frames(adx.begin() + start, adx.end());
        frames.resize((frames.size() + 35) / 36 * 36);  // a partial last unit is completed with zeros
        std::vector<std::int16_t> pcm = reference_decode(frames, static_cast<int>(channels), w);
        pcm.resize(std::min<std::uint64_t>(pcm.size(), std::uint64_t{be(12)} * channels));

        // The header as a WAV reader takes it, then the samples.
        const bytes wav = write_wav(adx, adx.size(), 0);
        const auto le = [&](std::size_t at, int n) { std::uint32_t v = 0; for (int i = n; i-- > 0;) v = v << 8 | wav[at + static_cast<std::size_t>(i)]; return v; };
        ASSERT_EQ(wav.size(), 44 + 2 * pcm.size());
        EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4) + std::string(wav.begin() + 8, wav.begin() + 16) + std::string(wav.begin() + 36, wav.begin() + 40), "RIFFWAVEfmt data");
        const auto data = static_cast<std::uint32_t>(2 * pcm.size());
        for (const auto& [at, n, v] : {std::tuple{4, 4, 36 + data}, {16, 4, 16u}, {20, 2, 1u}, {22, 2, channels}, {24, 4, be(8)},
                                       {28, 4, 2 * channels * be(8)}, {32, 2, 2 * channels}, {34, 2, 16u}, {40, 4, data}})
            EXPECT_EQ(le(static_cast<std::size_t>(at), n), v) << "WAV header field at " << at;
        std::vector<std::int16_t> got(pcm.size());
        for (std::size_t i = 0; i < got.size(); ++i) got[i] = static_cast<std::int16_t>(le(44 + 2 * i, 2));
        EXPECT_EQ(got, pcm);
        for (const std::size_t chunk : {1, 35, 36, 37, 2018}) EXPECT_EQ(write_wav(adx, start + chunk / 2, chunk), wav) << "chunks of " << chunk;
    }
}

// Pass 1 over a movie, at full level sample for sample what ffmpeg's ADX decoder makes of the
// movie; at the standard level the same sound at 4576/16384 of that level.
TEST(Adx, PassOneMatchesFfmpegsDecoderAtEveryRate)
{
    temp_dir dir;
    for (const auto& [channels, rate] : {std::pair{1, 22050}, {2, 32000}, {2, 48000}, {2, 44100}}) {
        const bytes movie = sfd::mux(mpeg1_video(1.0), adx_tone(channels, rate, 1.0));
        write_bytes(dir / "movie.sfd", movie);
        const std::string ref = run_shell(dir.cd() + "ffmpeg -nostdin -v error -c:a adpcm_adx -i movie.sfd -map 0:a -f s16le -").second;
        std::vector<std::int16_t> pcm[2];
        for (const adx_level level : {adx_level::standard, adx_level::full}) {
            std::FILE* input = file_of(movie);
            std::FILE* wav = std::tmpfile();
            std::uint8_t sector[sector_size];
            messages log;
            EXPECT_TRUE(demux_audio(input, wav, sector, level, log));
            std::fclose(input);
            const bytes data = contents(wav);
            for (std::size_t i = 44; i + 1 < data.size(); i += 2) pcm[level == adx_level::full].push_back(static_cast<std::int16_t>(data[i] | data[i + 1] << 8));
        }
        std::vector<std::int16_t> ffmpeg(ref.size() / 2);
        std::memcpy(ffmpeg.data(), ref.data(), ffmpeg.size() * 2);
        const std::size_t n = std::min(pcm[1].size(), ffmpeg.size());
        ASSERT_GT(n, rate * channels * 0.9);
        EXPECT_TRUE(std::equal(pcm[1].begin(), pcm[1].begin() + static_cast<long>(n), ffmpeg.begin())) << rate;
        // Pearson correlation of the standard level with the full one, and its level against it.
        double sx = 0, sy = 0, xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = pcm[0][i], y = pcm[1][i];
            sx += x, sy += y, xy += x * y, xx += x * x, yy += y * y;
        }
        const double m = static_cast<double>(n), correlation = (xy - sx * sy / m) / std::sqrt((xx - sx * sx / m) * (yy - sy * sy / m));
        EXPECT_GE(correlation, 0.9999) << rate;
        EXPECT_NEAR(std::sqrt((xx - sx * sx / m) / (yy - sy * sy / m)), 4576.0 / 16384, 0.002) << rate;
    }
}

}  // namespace
