#include "vornalt.h"

#include "passes.h"
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef VORNALT_VERSION
#define VORNALT_VERSION "unknown"
#endif

namespace {

// Stream buffer of every file of a job: large enough that the per-sector and
// per-unit reads and writes turn into few system calls, fixed whatever the
// file size.
constexpr std::size_t stream_buffer_size = 256 * 1024;

// Owns an open FILE*, with a buffer of stream_buffer_size (or none); closes
// it on every path out of the job. Keeps the error number of a failed open.
class file_handle {
public:
    file_handle(const char* path, const char* mode, bool buffered = true)
        : f_((errno = 0, std::fopen(path, mode))), open_error_(errno)
    {
        if (f_ != nullptr) std::setvbuf(f_, nullptr, buffered ? _IOFBF : _IONBF, stream_buffer_size);
    }
    ~file_handle() { close(); }
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;

    std::FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    int open_error() const { return open_error_; }

    int close()
    {
        std::FILE* f = f_;
        f_ = nullptr;
        return f != nullptr ? std::fclose(f) : 0;
    }

    // Closes the file and tells whether every write to it and the close went
    // through; the error number of a failure is left in errno.
    bool close_written()
    {
        const bool write_error = std::ferror(f_) != 0;
        const int write_errno = errno;
        const bool closed = close() == 0;
        if (write_error && closed) errno = write_errno;
        return closed && !write_error;
    }

private:
    std::FILE* f_;
    int open_error_;
};

constexpr const char* usage_text =
    "Convertidor videos Dreamcast SFD->MPEG1    \n"
    " vornalt [-option] <infile>\n"
    "  -c <\"mp3 encoder [encoder option]\">Utilidad por lumo.  \n"
    "Lea README.TXT para instrucciones.       \n";

constexpr const char* help_text =
    "usage: vornalt [options] movie.sfd ...\n"
    "Converts SFD movies into MPEG-1 .mpg files: the ADX audio is decoded to tmp.wav,\n"
    "an MPEG audio encoder makes tmp.mp3 of it, and the movie is written again with\n"
    "that audio as NAME.mpg. Options act on the movies that follow them.\n"
    "\n"
    "  -c COMMAND  the MPEG audio encoder, run as COMMAND tmp.wav tmp.mp3\n"
    "              (default: toolame32, else twolame or lame, whichever is found)\n"
    "  -o DIR      write the outputs into the folder DIR\n"
    "  -l          decode the ADX audio at full level (11 dB louder)\n"
    "  -v          report the audio frame header and the video sequence headers\n"
    "  -h, --help  this help; --version: the version\n"
    "\n"
    "Exit status: 0 every movie converted whole; 1 a movie failed or lost audio;\n"
    "255 no arguments.\n"
    "\n"
    "Examples:\n"
    "  vornalt -c twolame intro.sfd\n"
    "  vornalt -c \"twolame -b 192\" -o /tmp/movies /mnt/disc/*.sfd\n";

constexpr const char* standard_encoder = "toolame32";

// "vornalt: PATH: REASON" on standard error, after a failure that the system reported.
void tell_reason(messages& log, const std::string& path, int err)
{
    tell(log, "vornalt: %s: %s\n", path.c_str(), error_text(err).c_str());
}

// The output must be creatable before any work is done for it.
bool check_output(conversion& job)
{
    std::string about;
    const int err = why_not_creatable(job.output, about);
    if (err == 0) return true;
    say(job.log, "can't open %s\n", job.output.c_str());
    tell_reason(job.log, about, err);
    return false;
}

// Pass 1 into tmp.wav.
bool extract_audio(conversion& job, std::FILE* input, std::uint8_t* sector)
{
    // Opening tmp.wav for writing would truncate an input that is tmp.wav.
    if (is_same_file(input, job.wav_path.c_str())) {
        say(job.log, "can't open tempolary wav file\n");
        tell(job.log, "vornalt: %s is the input itself\n", job.wav_path.c_str());
        return false;
    }
    // The ADX writer hands over its PCM in large blocks: no stream buffer to copy them through.
    file_handle wav(job.wav_path.c_str(), "wb", false);
    if (!wav) {
        say(job.log, "can't open tempolary wav file\n");
        tell_reason(job.log, job.wav_path, wav.open_error());
        return false;
    }
    if (!demux_audio(input, wav.get(), sector, job.options.level, job.log))
        tell(job.log, "vornalt: no ADX audio found in %s\n", job.input.c_str());
    if (!wav.close_written()) {
        const int err = errno;
        say(job.log, "can't write %s\n", job.wav_path.c_str());
        tell_reason(job.log, job.wav_path, err);
        return false;
    }
    return true;
}

// Runs the encoder on tmp.wav. Standard output is flushed first, so that our
// lines stay ahead of the encoder's in a shared log.
bool run_encoder(conversion& job)
{
    const std::string command = job.encoder + " " + job.wav_path + " " + job.mp3_path;
    std::fflush(stdout);
    const command_status status = interpret_status(std::system(command.c_str()));
    if (status.ok) return true;
    if (status.not_found) {
        tell(job.log,
             "vornalt: the encoder command \"%s\" was not found; install an MPEG audio encoder "
             "and name it with -c, e.g. -c twolame\n",
             job.encoder.c_str());
    } else if (status.exited) {
        tell(job.log, "vornalt: the encoder exited with status %d\n", status.code);
    } else if (status.code > 0) {
        tell(job.log, "vornalt: the encoder was stopped by signal %d\n", status.code);
    } else {
        tell(job.log, "vornalt: the encoder could not be run\n");
    }
    return false;
}

// The encoder makes tmp.mp3 of tmp.wav.
bool encode_audio(conversion& job, std::FILE* input)
{
    say(job.log, "make mpeg audio\n");
    // The encoder overwrites tmp.mp3, and a stale one is removed before it runs.
    if (is_same_file(input, job.mp3_path.c_str())) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell(job.log, "vornalt: %s is the input itself\n", job.mp3_path.c_str());
        return false;
    }
    std::remove(job.mp3_path.c_str());
    return run_encoder(job);
}

// Tells the user that the end of the soundtrack is missing from the output,
// on a line of its own after the rest report.
void warn_lost_audio(conversion& job, long rest, int byte_rate)
{
    tell(job.log,
         "\nvornalt: warning: %s lacks the last %ld bytes (%.2f s) of its encoded audio, which found "
         "no room in the movie's audio packets; encode at a lower bit rate\n",
         job.output.c_str(), rest, static_cast<double>(rest) / byte_rate);
}

// Pass 2 from the input and tmp.mp3 into the output.
bool write_movie(conversion& job, std::FILE* input, std::uint8_t* sector)
{
    say(job.log, "pass 2\n");
    std::rewind(input);
    file_handle mp3(job.mp3_path.c_str(), "rb");
    if (!mp3) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell_reason(job.log, job.mp3_path, mp3.open_error());
        return false;
    }
    const audio_probe probe = probe_byte_rate(mp3.get(), sector, job.options.verbose ? &job.log : nullptr);
    if (probe.byte_rate <= 0) {
        say(job.log, "bad mpeg audio header\n");
        return false;
    }
    // The stamps assume one bit rate throughout.
    if (probe.variable) {
        say(job.log, "variable bit rate audio is not supported\n");
        return false;
    }
    // Opening the output for writing would truncate an input that is the output.
    if (is_same_file(input, job.output.c_str())) {
        say(job.log, "can't open %s\n", job.output.c_str());
        tell(job.log, "vornalt: %s is the input itself\n", job.output.c_str());
        return false;
    }
    file_handle output(job.output.c_str(), "wb");
    if (!output) {
        say(job.log, "can't open %s\n", job.output.c_str());
        tell_reason(job.log, job.output, output.open_error());
        return false;
    }
    const long rest = remux_audio(input, mp3.get(), output.get(), sector, probe.byte_rate, job.log,
                                  job.options.verbose);
    if (!output.close_written()) {
        const int err = errno;
        say(job.log, "can't write %s\n", job.output.c_str());
        tell_reason(job.log, job.output, err);
        std::remove(job.output.c_str());
        return false;
    }
    if (rest > 0) {
        warn_lost_audio(job, rest, probe.byte_rate);
        return false;
    }
    return true;
}

// The first of the usual encoders that can be found, said once per run when
// it is not the standard one.
std::string default_encoder()
{
    for (const char* name : {standard_encoder, "twolame", "lame"}) {
        if (is_program_found(name)) {
            if (std::strcmp(name, standard_encoder) != 0) {
                std::fflush(stdout);
                std::fprintf(stderr, "vornalt: %s not found; encoding with %s\n", standard_encoder, name);
            }
            return name;
        }
    }
    return standard_encoder;  // the missing-encoder hint will say what to do
}

// The inputs of a run and what it was asked to do.
struct run_plan {
    std::vector<conversion> jobs;
    bool help = false;
    bool version = false;
};

bool is_help(const char* arg)
{
    return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-help") == 0 || std::strcmp(arg, "--help") == 0;
}

// Walks the arguments: options change the settings of the inputs after them.
run_plan parse_arguments(int argc, char** argv)
{
    run_plan plan;
    settings options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (is_help(arg) || std::strcmp(arg, "--version") == 0) {
            (is_help(arg) ? plan.help : plan.version) = true;
            return plan;
        }
        if (arg[0] != '-') {
            conversion job;
            job.input = arg;
            job.output = make_output_name(arg, options.out_dir);
            job.options = options;
            plan.jobs.push_back(std::move(job));
            continue;
        }
        // Only the second character counts; unknown options are ignored.
        switch (arg[1]) {
        case 'c':
            if (++i < argc) options.encoder = argv[i];
            break;
        case 'o':
            if (++i < argc) options.out_dir = argv[i];
            break;
        case 'v':
            options.verbose = true;
            break;
        case 'l':
            options.level = adx_level::full;
            break;
        default:
            break;
        }
    }
    return plan;
}

// "vornalt: N of M movies failed: A, B", naming at most ten.
void tell_failures(const std::vector<const conversion*>& failed, std::size_t total)
{
    if (failed.empty()) return;
    constexpr std::size_t named = 10;
    std::string names;
    for (std::size_t i = 0; i < failed.size() && i < named; ++i)
        names += (i > 0 ? ", " : "") + failed[i]->input;
    if (failed.size() > named) names += ", and " + std::to_string(failed.size() - named) + " more";
    std::fflush(stdout);
    std::fprintf(stderr, "vornalt: %zu of %zu movies failed: %s\n", failed.size(), total, names.c_str());
}

} // namespace

std::string make_output_name(const char* input, const char* out_dir)
{
    if (out_dir != nullptr) {
        // The file name alone, after the last separator of either kind.
        const char* name = input;
        for (const char* p = input; *p != '\0'; ++p)
            if (*p == '/' || *p == '\\') name = p + 1;
        std::string folder = out_dir;
        if (!folder.empty() && !is_path_separator(folder.back())) folder += path_separator;
        return folder + make_output_name(name);
    }
    const char* base = std::strrchr(input, '\\');
    std::string name = base != nullptr ? base + 1 : input;
    // Only the file name's own dot starts an extension, never one in a folder name.
    const std::size_t slash = name.find_last_of("/\\");
    const std::size_t file_start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot >= file_start) name.resize(dot);
    return name + ".mpg";
}

int vornalt(conversion& job)
{
    file_handle input(job.input.c_str(), "rb");
    if (!input) {
        say(job.log, "can't open %s\n", job.input.c_str());
        tell_reason(job.log, job.input, input.open_error());
        return -1;
    }
    if (!check_output(job)) return -1;
    say(job.log, "pass 1\n");
    std::uint8_t sector[sector_size] = {};
    if (!extract_audio(job, input.get(), sector)) return -1;
    if (!encode_audio(job, input.get())) return -1;
    if (!write_movie(job, input.get(), sector)) return -1;
    return input.close();
}

int run(int argc, char** argv)
{
    if (argc < 2) {
        std::printf("%s", usage_text);
        std::fflush(stdout);
        std::fprintf(stderr, "vornalt: -h lists the options\n");
        return -1;
    }
    run_plan plan = parse_arguments(argc, argv);
    if (plan.help || plan.version) {
        std::printf(plan.help ? "%s" : "vornalt %s\n", plan.help ? help_text : VORNALT_VERSION);
        return 0;
    }
    std::string fallback;
    for (conversion& job : plan.jobs) {
        if (job.options.encoder != nullptr) {
            job.encoder = job.options.encoder;
            continue;
        }
        if (fallback.empty()) fallback = default_encoder();
        job.encoder = fallback;
    }
    std::vector<const conversion*> failed;
    for (conversion& job : plan.jobs) {
        std::printf("%s -> %s\n", job.input.c_str(), job.output.c_str());
        if (vornalt(job) < 0) failed.push_back(&job);
    }
    tell_failures(failed, plan.jobs.size());
    return failed.empty() ? 0 : 1;
}
