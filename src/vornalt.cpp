#include "vornalt.h"

#include "passes.h"
#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifndef VORNALT_VERSION
#define VORNALT_VERSION "unknown"
#endif

namespace {

// Stream buffer of every file of a job: large enough that the per-sector and
// per-unit reads and writes turn into few system calls, fixed whatever the
// file size.
constexpr std::size_t stream_buffer_size = 256 * 1024;

// The mode letter that keeps a file from the encoders that conversions
// running side by side start: one holding another's temporary file open
// would keep it from being removed.
#ifdef _WIN32
constexpr const char* not_inherited = "N";
#else
constexpr const char* not_inherited = "e";
#endif

// Owns an open FILE*, with a buffer of stream_buffer_size (or none); closes
// it on every path out of the job. Keeps the error number of a failed open.
class file_handle {
public:
    file_handle(const char* path, const char* mode, bool buffered = true)
        : f_((errno = 0, std::fopen(path, (std::string(mode) + not_inherited).c_str()))), open_error_(errno)
    {
        if (f_ == nullptr) return;
        // The C library takes the size only with a buffer of the caller's.
        if (buffered) buffer_ = std::make_unique<char[]>(stream_buffer_size);
        std::setvbuf(f_, buffer_.get(), buffered ? _IOFBF : _IONBF, buffered ? stream_buffer_size : 0);
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
    std::unique_ptr<char[]> buffer_;  // outlives the stream: the destructor closes it first
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
    "  -j N        convert up to N movies at once (0: one per processor), wherever\n"
    "              it stands; each works in a private temporary folder\n"
    "  -h, --help  this help; --version: the version\n"
    "\n"
    "Exit status: 0 every movie converted whole; 1 a movie failed or lost audio;\n"
    "255 no arguments or a bad -j.\n"
    "\n"
    "Examples:\n"
    "  vornalt -c twolame intro.sfd\n"
    "  vornalt -j 0 -c \"twolame -b 192\" -o /tmp/movies /mnt/disc/*.sfd\n";

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

// Where a conversion keeps its temporary files, and what keeps other
// conversions out of them for as long as it runs.
struct workspace {
    private_folder folder;  // side by side: a folder of its own
    file_lock lock;         // in order: a lock on tmp.wav of the current folder
};

void tell_waiting(messages& log)
{
    tell(log,
         "vornalt: waiting for another conversion in this folder (tmp.wav is in use); "
         "-j N converts in parallel\n");
}

// Makes the private folder of a conversion that runs side by side, or takes
// the lock on the current folder's tmp.wav, waiting for another process's
// conversion to end.
bool prepare_workspace(conversion& job, workspace& space)
{
    if (!job.side_by_side) {
        if (space.lock.try_take(job.temp_file("tmp.wav").c_str()) == file_lock::busy) {
            tell_waiting(job.log);
            space.lock.wait();
        }
        return true;
    }
    if (!space.folder.make()) {
        const int err = errno;
        say(job.log, "can't open tempolary wav file\n");
        tell(job.log, "vornalt: can't make a temporary folder: %s\n", error_text(err).c_str());
        return false;
    }
    job.temp_dir = space.folder.path() + path_separator;
    return true;
}

// Pass 1 into tmp.wav.
bool extract_audio(conversion& job, std::FILE* input, std::uint8_t* sector)
{
    const std::string path = job.temp_file("tmp.wav");
    // Opening tmp.wav for writing would truncate an input that is tmp.wav.
    if (is_same_file(input, path.c_str())) {
        say(job.log, "can't open tempolary wav file\n");
        tell(job.log, "vornalt: %s is the input itself\n", path.c_str());
        return false;
    }
    // The ADX writer hands over its PCM in large blocks: no stream buffer to copy them through.
    file_handle wav(path.c_str(), "wb", false);
    if (!wav) {
        say(job.log, "can't open tempolary wav file\n");
        tell_reason(job.log, path, wav.open_error());
        return false;
    }
    if (!demux_audio(input, wav.get(), sector, job.options.level, job.log))
        tell(job.log, "vornalt: no ADX audio found in %s\n", job.input.c_str());
    if (!wav.close_written()) {
        const int err = errno;
        say(job.log, "can't write tmp.wav\n");
        tell_reason(job.log, path, err);
        return false;
    }
    return true;
}

// Tells why the encoder failed.
void tell_encoder_failure(conversion& job, const command_status& status)
{
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
}

// Appends what a file holds to text.
void append_file(const std::string& path, std::string& text)
{
    file_handle f(path.c_str(), "rb");
    if (!f) return;
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, f.get())) > 0;) text.append(block, n);
}

// Runs the encoder on tmp.wav. In order, it writes where this program does,
// and standard output is flushed first so that our lines stay ahead of its
// own in a shared log; side by side, its output is held with our messages.
bool run_encoder(conversion& job)
{
    int status = 0;
    if (!job.side_by_side) {
        std::fflush(stdout);
        status = run_command(job.encoder + " tmp.wav tmp.mp3", nullptr, nullptr);
    } else {
        const std::string out = job.temp_file("encoder.out");
        const std::string err = job.temp_file("encoder.err");
        const std::string files = quote_path(job.temp_file("tmp.wav")) + " " + quote_path(job.temp_file("tmp.mp3"));
        status = run_command(job.encoder + " " + files, out.c_str(), err.c_str());
        append_file(out, job.log.out);
        append_file(err, job.log.err);
    }
    const command_status result = interpret_status(status);
    if (!result.ok) tell_encoder_failure(job, result);
    return result.ok;
}

// The encoder makes tmp.mp3 of tmp.wav.
bool encode_audio(conversion& job, std::FILE* input)
{
    say(job.log, "make mpeg audio\n");
    const std::string path = job.temp_file("tmp.mp3");
    // The encoder overwrites tmp.mp3, and a stale one is removed before it runs.
    if (is_same_file(input, path.c_str())) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell(job.log, "vornalt: %s is the input itself\n", path.c_str());
        return false;
    }
    std::remove(path.c_str());
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
    const std::string path = job.temp_file("tmp.mp3");
    file_handle mp3(path.c_str(), "rb");
    if (!mp3) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell_reason(job.log, path, mp3.open_error());
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
    const long rest =
        remux_audio(input, mp3.get(), output.get(), sector, probe.byte_rate, job.log, job.options.verbose);
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
    enum { convert, help, version, bad_parallel } what = convert;
    std::vector<conversion> jobs;
    unsigned parallel = 1;  // conversions at once
};

bool is_help(const char* arg)
{
    return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-help") == 0 || std::strcmp(arg, "--help") == 0;
}

// The number of -j, attached (-j4) or the next argument; 0 stands for one
// conversion per processor. False when it is missing or not a number.
bool parse_parallel(int argc, char** argv, int& i, unsigned& parallel)
{
    const char* text = argv[i][2] != '\0' ? argv[i] + 2 : (++i < argc ? argv[i] : "");
    if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) return false;
    const unsigned long n = std::strtoul(text, nullptr, 10);
    parallel = n == 0 ? processor_count() : static_cast<unsigned>(std::min<unsigned long>(n, max_private_folders));
    return true;
}

// Walks the arguments: options change the settings of the inputs after
// them; -j sets the run's number of conversions at once.
run_plan parse_arguments(int argc, char** argv)
{
    run_plan plan;
    settings options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (is_help(arg) || std::strcmp(arg, "--version") == 0) {
            plan.what = is_help(arg) ? run_plan::help : run_plan::version;
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
        if (arg[1] == 'c' && ++i < argc) options.encoder = argv[i];
        if (arg[1] == 'o' && ++i < argc) options.out_dir = argv[i];
        if (arg[1] == 'v') options.verbose = true;
        if (arg[1] == 'l') options.level = adx_level::full;
        if (arg[1] == 'j' && !parse_parallel(argc, argv, i, plan.parallel)) {
            plan.what = run_plan::bad_parallel;
            return plan;
        }
    }
    return plan;
}

// Gives every input without -c the default encoder, found once.
void choose_encoders(std::vector<conversion>& jobs)
{
    std::string fallback;
    for (conversion& job : jobs) {
        if (job.options.encoder != nullptr) {
            job.encoder = job.options.encoder;
            continue;
        }
        if (fallback.empty()) fallback = default_encoder();
        job.encoder = fallback;
    }
}

// A key that two paths of one file share, whether or not the file exists yet.
std::string file_key(const std::string& path)
{
    std::error_code error;
    std::string key = std::filesystem::weakly_canonical(path, error).string();
    if (error) key = path;
#ifdef _WIN32
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
#endif
    return key;
}

// For each conversion, the earlier ones that it must not run beside: those
// with the same output (whose output its own replaces), and those whose
// output is its input or whose input is its output.
std::vector<std::vector<std::size_t>> find_conflicts(std::vector<conversion>& jobs)
{
    std::map<std::string, std::vector<std::size_t>> writers;  // output -> the conversions so far
    std::map<std::string, std::vector<std::size_t>> readers;  // input -> the conversions so far
    std::vector<std::vector<std::size_t>> waits_for(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::string in = file_key(jobs[i].input);
        const std::string out = file_key(jobs[i].output);
        for (const auto* earlier : {&writers[out], &readers[out], &writers[in]})
            waits_for[i].insert(waits_for[i].end(), earlier->begin(), earlier->end());
        if (!writers[out].empty()) jobs[i].replaces = jobs[writers[out].back()].input;
        writers[out].push_back(i);
        readers[in].push_back(i);
    }
    return waits_for;
}

// One conversion from its first line to its result.
int convert_one(conversion& job)
{
    say(job.log, "%s -> %s\n", job.input.c_str(), job.output.c_str());
    if (!job.replaces.empty())
        tell(job.log, "vornalt: warning: %s gives %s too; its output replaces that of %s\n", job.input.c_str(),
             job.output.c_str(), job.replaces.c_str());
    return vornalt(job);
}

// Prints what a conversion held: its standard output, then its standard error.
void print_held(const messages& log)
{
    std::fwrite(log.out.data(), 1, log.out.size(), stdout);
    std::fflush(stdout);
    std::fwrite(log.err.data(), 1, log.err.size(), stderr);
    std::fflush(stderr);
}

// Conversions side by side: workers take the next one in input order whose
// conflicting conversions have ended; each one's messages are printed whole,
// in input order, as soon as the conversions before it have been printed.
class batch {
public:
    batch(std::vector<conversion>& jobs, std::vector<int>& results)
        : jobs_(jobs), results_(results), waits_for_(find_conflicts(jobs)), state_(jobs.size(), waiting)
    {
    }

    void work()
    {
        for (std::size_t i; take(i);) {
            const int result = convert_one(jobs_[i]);
            finish(i, result);
        }
    }

private:
    enum job_state { waiting, running, ended };

    // The next conversion that may start; false when none is left.
    bool take(std::size_t& next)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            bool left = false;
            for (std::size_t i = 0; i < jobs_.size(); ++i) {
                if (state_[i] != waiting) continue;
                left = true;
                if (!may_start(i)) continue;
                state_[i] = running;
                next = i;
                return true;
            }
            if (!left) return false;
            changed_.wait(hold);
        }
    }

    bool may_start(std::size_t i) const
    {
        return std::all_of(waits_for_[i].begin(), waits_for_[i].end(),
                           [&](std::size_t k) { return state_[k] == ended; });
    }

    void finish(std::size_t i, int result)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        results_[i] = result;
        state_[i] = ended;
        for (; printed_ < jobs_.size() && state_[printed_] == ended; ++printed_) print_held(jobs_[printed_].log);
        changed_.notify_all();
    }

    std::vector<conversion>& jobs_;
    std::vector<int>& results_;
    const std::vector<std::vector<std::size_t>> waits_for_;
    std::vector<job_state> state_;
    std::size_t printed_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// Runs the conversions, up to parallel at once; returns each one's result.
std::vector<int> run_conversions(std::vector<conversion>& jobs, unsigned parallel)
{
    std::vector<int> results(jobs.size());
    if (parallel <= 1) {
        find_conflicts(jobs);  // for the warnings
        for (std::size_t i = 0; i < jobs.size(); ++i) results[i] = convert_one(jobs[i]);
        return results;
    }
    for (conversion& job : jobs) {
        job.side_by_side = true;
        job.log.held = true;
    }
    remove_private_folders_on_exit();
    batch work(jobs, results);
    std::vector<std::thread> workers;
    const std::size_t count = std::min<std::size_t>(parallel, jobs.size());
    for (std::size_t i = 0; i < count; ++i) workers.emplace_back([&work] { work.work(); });
    for (std::thread& worker : workers) worker.join();
    return results;
}

// "vornalt: N of M movies failed: A, B", naming at most ten.
void tell_failures(const std::vector<conversion>& jobs, const std::vector<int>& results)
{
    constexpr std::size_t named = 10;
    std::size_t failed = 0;
    std::string names;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (results[i] >= 0) continue;
        if (failed < named) names += (failed > 0 ? ", " : "") + jobs[i].input;
        ++failed;
    }
    if (failed == 0) return;
    if (failed > named) names += ", and " + std::to_string(failed - named) + " more";
    std::fflush(stdout);
    std::fprintf(stderr, "vornalt: %zu of %zu movies failed: %s\n", failed, jobs.size(), names.c_str());
}

}  // namespace

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
    workspace space;
    if (!prepare_workspace(job, space)) return -1;
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
    switch (plan.what) {
    case run_plan::help:
        std::printf("%s", help_text);
        return 0;
    case run_plan::version:
        std::printf("vornalt %s\n", VORNALT_VERSION);
        return 0;
    case run_plan::bad_parallel:
        std::fprintf(stderr, "vornalt: -j takes a number of conversions, as in -j 4\n");
        return -1;
    case run_plan::convert:
        break;
    }
    choose_encoders(plan.jobs);
    const std::vector<int> results = run_conversions(plan.jobs, plan.parallel);
    tell_failures(plan.jobs, results);
    return std::count_if(results.begin(), results.end(), [](int r) { return r < 0; }) > 0 ? 1 : 0;
}
