#include "encoders.h"

#include "adxconv.h"
#include "files.h"
#include "platform.h"
#include "threads.h"

#include <twolame.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
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
    owned_file f(path.c_str(), "rb");
    if (!f) return;
    for (int c; (c = std::fgetc(f.get())) != EOF;) text += static_cast<char>(c);
}

// ---------------------------------------------------------------------------
// The built-in encoder

// A segment of the stream, which one library encoder takes: a fixed number
// of frames of 1152 samples a channel. Room for what the library gives back
// for a segment and the frame before it: each frame at most 1728 bytes (384
// kbit/s at 32000 Hz) and a padding byte.
constexpr std::uint32_t frame_samples = TWOLAME_SAMPLES_PER_FRAME;
constexpr std::uint32_t segment_frames = 64;
constexpr int mp2_bytes = static_cast<int>(segment_frames + 2) * 1729;

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
    static short silence[frame_samples];
    static unsigned char frame[mp2_bytes];
    twolame_encode_buffer_interleaved(options.get(), silence, frame_samples, frame, mp2_bytes);
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

// What the threads that encode one stream share: the stream, the segments
// taken and written, and the bytes of the segments in flight, at most
// window of them, each in its slot until it is written.
struct segmented_stream {
    const std::string& wav_path;
    const wav_format& format;
    int kbits;
    std::uint64_t samples;  // a channel, as far as tmp.wav holds them
    std::uint32_t segments;
    std::uint32_t window;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint32_t next = 0;     // the next segment to encode
    std::uint32_t written = 0;  // the segments written to tmp.mp3
    std::vector<std::vector<unsigned char>> encoded;
    std::vector<bool> ready;
    int read_error = 0;  // stops the encoding
    bool stop = false;   // a read or write error: no more segments
};

// The buffers of a thread that encodes segments.
struct segment_buffers {
    std::vector<std::uint8_t> raw;
    std::vector<short> pcm;
    std::vector<unsigned char> out;
};

// Encodes segment k into out: a fresh encoder first takes the frame before
// the segment, whose output is dropped (once the library has seen frame
// j - 1, its frame j comes out as in the whole stream: layer II keeps no bit
// reservoir), then the segment's frames; the last segment is flushed. False,
// errno set, when tmp.wav can't be read, or no encoder starts.
bool encode_segment(const segmented_stream& s, std::FILE* wav, std::uint32_t k, segment_buffers& b,
                    std::vector<unsigned char>& out)
{
    const std::uint64_t first = std::uint64_t{k} * segment_frames * frame_samples;
    const std::uint64_t early = k > 0 ? frame_samples : 0;
    const std::uint64_t end = std::min<std::uint64_t>(first + segment_frames * frame_samples, s.samples);
    const auto channels = static_cast<std::size_t>(s.format.channels);
    const std::size_t count = static_cast<std::size_t>(end - first + early);
    b.raw.resize(count * channels * 2);
    b.pcm.resize(count * channels);
    if (!seek_file(wav, wav_header_bytes + (first - early) * channels * 2) ||
        std::fread(b.raw.data(), 1, b.raw.size(), wav) != b.raw.size()) {
        if (std::ferror(wav) == 0) errno = EIO;  // shorter than it was when the encoding started
        return false;
    }
    for (std::size_t i = 0; i < b.pcm.size(); ++i)  // little-endian 16-bit samples
        b.pcm[i] = static_cast<short>(b.raw[2 * i] | b.raw[2 * i + 1] << 8);
    const encoder_state options = make_encoder(s.format.channels, static_cast<int>(s.format.sample_rate), s.kbits);
    if (!options) {
        errno = ENOMEM;
        return false;
    }
    b.out.resize(mp2_bytes);
    out.clear();
    const auto encode = [&](const short* pcm, std::uint64_t samples) {
        if (samples == 0) return 0;
        return twolame_encode_buffer_interleaved(options.get(), pcm, static_cast<int>(samples), b.out.data(),
                                                 mp2_bytes);
    };
    encode(b.pcm.data(), early);
    const int n = encode(b.pcm.data() + early * channels, end - first);
    out.assign(b.out.begin(), b.out.begin() + std::max(n, 0));
    if (k + 1 == s.segments) {
        const int last = twolame_encode_flush(options.get(), b.out.data(), mp2_bytes);
        out.insert(out.end(), b.out.begin(), b.out.begin() + std::max(last, 0));
    }
    return true;
}

// A thread's share of a stream: the next segment whose slot is free, until
// none is left or the encoding stops; each encoded while holding a slot of
// the run's thread budget.
void encode_segments(segmented_stream& s)
{
    owned_file wav(s.wav_path.c_str(), "rb", false);
    segment_buffers buffers;
    std::vector<unsigned char> out;
    for (;;) {
        std::uint32_t k = 0;
        {
            std::unique_lock<std::mutex> hold(s.mutex);
            s.changed.wait(hold, [&s] { return s.stop || s.next >= s.segments || s.next < s.written + s.window; });
            if (s.stop || s.next >= s.segments) return;
            k = s.next++;
        }
        take_thread_slot();
        const bool encoded = wav && encode_segment(s, wav.get(), k, buffers, out);
        const int err = wav ? errno : wav.open_error();
        give_thread_slot();
        const std::lock_guard<std::mutex> hold(s.mutex);
        if (encoded) {
            s.encoded[k % s.window].swap(out);
            s.ready[k % s.window] = true;
        } else if (!s.stop) {
            s.read_error = err;
            s.stop = true;
        }
        s.changed.notify_all();
    }
}

// The PCM of tmp.wav through the encoder into tmp.mp3, its segments encoded
// side by side by as many threads as the run's thread budget allows, written in
// order. False on a write error of tmp.mp3 (errno set), or a read error of
// tmp.wav (read_error set).
bool encode_stream(const std::string& wav_path, const wav_format& format, int kbits, std::uint64_t samples,
                   std::FILE* mp3, int& read_error)
{
    const std::uint64_t frames = (samples + frame_samples - 1) / frame_samples;
    const auto segments =
        static_cast<std::uint32_t>(std::max<std::uint64_t>(1, (frames + segment_frames - 1) / segment_frames));
    const unsigned threads = std::min(thread_budget(), segments);
    segmented_stream s{wav_path, format, kbits, samples, segments, 2 * threads, {}, {}, 0, 0, {}, {}, 0, false};
    s.encoded.resize(s.window);
    s.ready.resize(s.window);
    // Where no thread can start (a browser's build without them), each
    // segment is encoded here, just before it is written.
    const bool here = !threads_can_start();
    owned_file wav;
    segment_buffers buffers;
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < threads && !here; ++i) workers.emplace_back(encode_segments, std::ref(s));
    bool written = true;
    std::vector<unsigned char> bytes;
    for (std::uint32_t k = 0; k < segments && written; ++k) {
        if (here) {
            if ((!wav && !wav.open(wav_path.c_str(), "rb", false)) ||
                !encode_segment(s, wav.get(), k, buffers, bytes)) {
                s.read_error = wav ? errno : wav.open_error();
                break;
            }
        } else {
            std::unique_lock<std::mutex> hold(s.mutex);
            s.changed.wait(hold, [&] { return s.stop || s.ready[k % s.window]; });
            if (!s.ready[k % s.window]) break;
            bytes.swap(s.encoded[k % s.window]);
            s.ready[k % s.window] = false;
        }
        written = std::fwrite(bytes.data(), 1, bytes.size(), mp3) == bytes.size();
        const int err = errno;
        const std::lock_guard<std::mutex> hold(s.mutex);
        ++s.written;
        s.stop = s.stop || !written;
        s.changed.notify_all();
        errno = err;
    }
    const int err = errno;
    for (std::thread& worker : workers) worker.join();
    read_error = s.read_error;
    errno = err;
    return written;
}

}  // namespace

bool encode_with_command(const std::string& command, const encode_files& files)
{
    if (!programs_can_run()) {
        tell(files.log, "vornalt: encoder commands can't run in a browser; leave -c out for the built-in encoder\n");
        return false;
    }
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
    owned_file wav(wav_path.c_str(), "rb", false);
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
    owned_file mp3(mp3_path.c_str(), "wb");
    if (!mp3) {
        tell_reason(files.log, mp3_path, mp3.open_error());
        return false;
    }
    // The samples that the header declares, as far as the file holds them.
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(wav_path, error);
    const std::uint64_t held = error || size < wav_header_bytes ? 0 : (size - wav_header_bytes) / (2 * format.channels);
    const std::uint64_t samples = std::min<std::uint64_t>(format.data_bytes / (2 * format.channels), held);
    int read_error = 0;
    const bool written = encode_stream(wav_path, format, *kbits, samples, mp3.get(), read_error);
    const int err = errno;
    if (read_error != 0) {
        tell_reason(files.log, wav_path, read_error);
        return false;
    }
    if (!written || !mp3.close_written()) {
        tell_reason(files.log, mp3_path, written ? errno : err);
        return false;
    }
    return true;
}
