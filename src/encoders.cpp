#include "encoders.h"

#include "adxconv.h"
#include "files.h"
#include "platform.h"

#include <twolame.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// A command

void tell_command_failure(const std::string& command, const command_status& status, messages& log)
{
    if (status.not_found) {
        tell(log,
             "vornalt: the encoder command \"%s\" was not found; name an installed MPEG audio encoder "
             "with -c, or leave -c out for the built-in one\n",
             command.c_str());
    } else if (status.exited) {
        tell(log, "vornalt: the encoder exited with status %d\n", status.code);
    } else if (status.code != 0) {  // a signal's number, never 0
        tell(log, "vornalt: the encoder was stopped by signal %d\n", status.code);
    } else {
        tell(log, "vornalt: the encoder could not be run\n");
    }
}

// Appends what a file holds to text.
void append_file(const std::string& path, std::string& text)
{
    file_handle f(path.c_str(), "rb");
    if (!f) return;
    for (int c; (c = std::fgetc(f.get())) != EOF;) text += static_cast<char>(c);
}

// ---------------------------------------------------------------------------
// The built-in encoder

// Samples a channel handed to the library at a time, and room for what it
// gives back: the frames of those samples and of those it held, each at
// most 1728 bytes (384 kbit/s at 32000 Hz) and a padding byte.
constexpr int pcm_frames = 8 * TWOLAME_SAMPLES_PER_FRAME;
constexpr int mp2_bytes = 16 * 1729;

struct twolame_closer {
    void operator()(twolame_options* options) const { twolame_close(&options); }
};
using encoder_state = std::unique_ptr<twolame_options, twolame_closer>;

// The library's settings for a stream: its channel count and sampling rate,
// mono mode for one channel, and the bit rate unless it is the default (0).
encoder_state make_encoder(int channels, int sample_rate, int kbits)
{
    encoder_state options(twolame_init());
    if (!options) return options;
    twolame_set_verbosity(options.get(), 0);
    twolame_set_num_channels(options.get(), channels);
    twolame_set_in_samplerate(options.get(), sample_rate);  // the output's too, by default
    if (channels == 1) twolame_set_mode(options.get(), TWOLAME_MONO);
    if (kbits != 0) twolame_set_bitrate(options.get(), kbits);
    if (twolame_init_params(options.get()) != 0) options.reset();
    return options;
}

// The library's psychoacoustic models fill tables of their own, shared by
// every encoder, during the first encode: one frame of silence fills them
// before encoders run side by side.
void encode_silence()
{
    const encoder_state options = make_encoder(1, 44100, 0);
    static short silence[TWOLAME_SAMPLES_PER_FRAME];
    static unsigned char frame[mp2_bytes];
    twolame_encode_buffer_interleaved(options.get(), silence, TWOLAME_SAMPLES_PER_FRAME, frame, mp2_bytes);
}

void fill_shared_tables()
{
    // A mutex rather than std::call_once: race checkers such as helgrind see what it orders.
    static std::mutex filling;
    static bool first = true;
    const std::lock_guard<std::mutex> hold(filling);
    if (std::exchange(first, false)) encode_silence();
}

// Sampling rates that layer II carries, for the message that refuses another.
constexpr const char* layer2_sampling_rates = "16000, 22050, 24000, 32000, 44100 and 48000 Hz";

// The bit rate of -b as a number (one too large for a long reads as the
// largest), or 0 for the default, none given.
long parse_bit_rate(const char* digits)
{
    return digits != nullptr ? std::strtol(digits, nullptr, 10) : 0;
}

// The bit rate in kbit/s (0: the library's default) at which layer II
// encodes the stream as -b asks; none, saying why, when layer II can't.
std::optional<int> choose_bit_rate(const wav_format& format, const char* bitrate, messages& log)
{
    const std::vector<int> rates = layer2_bit_rates(static_cast<int>(format.sample_rate), format.channels);
    if (rates.empty()) {
        tell(log,
             "vornalt: MPEG audio layer II can't carry audio sampled at %lu Hz (it takes %s); an encoder "
             "that resamples can be named with -c, e.g. -c lame\n",
             static_cast<unsigned long>(format.sample_rate), layer2_sampling_rates);
        return std::nullopt;
    }
    while (bitrate != nullptr && bitrate[0] == '0' && bitrate[1] != '\0') ++bitrate;
    const long wanted = parse_bit_rate(bitrate);
    if (bitrate == nullptr || std::find(rates.begin(), rates.end(), wanted) != rates.end())
        return static_cast<int>(wanted);
    std::string list;
    for (std::size_t i = 0; i < rates.size(); ++i)
        list += (i == 0 ? "" : i + 1 < rates.size() ? ", " : " and ") + std::to_string(rates[i]);
    tell(log, "vornalt: MPEG audio layer II has no bit rate of %s kbit/s at %lu Hz in %s; it has %s kbit/s\n", bitrate,
         static_cast<unsigned long>(format.sample_rate), format.channels == 1 ? "mono" : "stereo", list.c_str());
    return std::nullopt;
}

// The PCM of tmp.wav through the encoder into tmp.mp3. False on a write error.
bool encode_stream(twolame_options* options, std::FILE* wav, const wav_format& format, std::FILE* mp3)
{
    const int frame_bytes = 2 * format.channels;
    auto raw = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(pcm_frames * frame_bytes));
    auto pcm = std::make_unique<short[]>(static_cast<std::size_t>(pcm_frames * format.channels));
    auto out = std::make_unique<unsigned char[]>(mp2_bytes);
    // The samples that the header declares, as far as the file holds them.
    std::uint32_t left = format.data_bytes / static_cast<std::uint32_t>(frame_bytes);
    for (std::size_t got; (got = std::fread(raw.get(), static_cast<std::size_t>(frame_bytes),
                                            std::min<std::uint32_t>(left, pcm_frames), wav)) > 0;) {
        left -= static_cast<std::uint32_t>(got);
        const std::uint8_t* sample = raw.get();  // little-endian 16-bit samples
        std::generate_n(pcm.get(), got * static_cast<std::size_t>(format.channels), [&sample] {
            const auto value = static_cast<short>(sample[0] | sample[1] << 8);
            sample += 2;
            return value;
        });
        const int n =
            twolame_encode_buffer_interleaved(options, pcm.get(), static_cast<int>(got), out.get(), mp2_bytes);
        if (n > 0 && std::fwrite(out.get(), 1, static_cast<std::size_t>(n), mp3) != static_cast<std::size_t>(n))
            return false;
    }
    const int n = twolame_encode_flush(options, out.get(), mp2_bytes);
    return n <= 0 || std::fwrite(out.get(), 1, static_cast<std::size_t>(n), mp3) == static_cast<std::size_t>(n);
}

}  // namespace

bool encode_with_command(const std::string& command, const encode_files& files)
{
    int status = 0;
    if (!files.side_by_side) {
        // Our lines stay ahead of the encoder's own in a shared log.
        std::fflush(stdout);
        status = run_command(command + " tmp.wav tmp.mp3", nullptr, nullptr);
    } else {
        // Side by side, the command's output is held with our messages.
        const std::string out = files.temp_dir + "encoder.out";
        const std::string err = files.temp_dir + "encoder.err";
        status = run_command(command + " " + quote_path(files.wav()) + " " + quote_path(files.mp3()), out.c_str(),
                             err.c_str());
        append_file(out, files.log.out);
        append_file(err, files.log.err);
    }
    const command_status result = interpret_status(status);
    if (!result.ok) tell_command_failure(command, result, files.log);
    return result.ok;
}

bool encode_builtin(const char* bitrate, const encode_files& files)
{
    fill_shared_tables();
    const std::string wav_path = files.wav();
    const std::string mp3_path = files.mp3();
    // Whole blocks are read at a time: no stream buffer to copy them through.
    file_handle wav(wav_path.c_str(), "rb", false);
    if (!wav) {
        tell_reason(files.log, wav_path, wav.open_error());
        return false;
    }
    std::uint8_t header[wav_header_bytes];
    wav_format format{};
    if (std::fread(header, 1, sizeof header, wav.get()) != sizeof header || !read_wav_header(header, format)) {
        tell(files.log, "vornalt: %s: not a WAV file of 16-bit PCM audio\n", wav_path.c_str());
        return false;
    }
    const std::optional<int> kbits = choose_bit_rate(format, bitrate, files.log);
    if (!kbits) return false;
    const encoder_state options = make_encoder(format.channels, static_cast<int>(format.sample_rate), *kbits);
    if (!options) {
        tell(files.log, "vornalt: the built-in MPEG audio encoder could not start\n");
        return false;
    }
    file_handle mp3(mp3_path.c_str(), "wb");
    if (!mp3) {
        tell_reason(files.log, mp3_path, mp3.open_error());
        return false;
    }
    const bool written = encode_stream(options.get(), wav.get(), format, mp3.get());
    const int err = errno;
    if (std::ferror(wav.get()) != 0) {
        tell_reason(files.log, wav_path, err);
        return false;
    }
    if (!written || !mp3.close_written()) {
        tell_reason(files.log, mp3_path, written ? errno : err);
        return false;
    }
    return true;
}
