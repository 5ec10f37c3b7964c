#include "vornalt.h"

#include "encoders.h"
#include "files.h"
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
    "  -b N        encode with the built-in MPEG audio layer II encoder at N kbit/s\n"
    "              (without -c or -b: toolame32 when it is on the PATH, else the\n"
    "              built-in encoder at its default rate: 192 kbit/s for 44100 and\n"
    "              48000 Hz stereo; the later of -c and -b counts)\n"
    "  -o DIR      write the outputs into the folder DIR\n"
    "  -l          decode the ADX audio at full level (11 dB louder)\n"
    "  -v          report the audio frame header and the video sequence headers\n"
    "  -j N        convert up to N movies at once (0: one per processor), wherever\n"
    "              it stands; each works in a private temporary folder\n"
    "  -h, --help  this help; --version: the version\n"
    "\n"
    "A movie without ADX audio (video alone, or MPEG audio already) is copied with\n"
    "its audio packets as they are.\n"
    "\n"
    "Exit status: 0 every movie converted whole; 1 a movie failed or lost audio;\n"
    "255 no arguments or a bad -j or -b.\n"
    "\n"
    "Examples:\n"
    "  vornalt intro.sfd\n"
    "  vornalt -j 0 -b 128 -o /tmp/movies /mnt/disc/*.sfd\n"
    "  vornalt -c lame intro.sfd\n";

constexpr const char* standard_encoder = "toolame32";

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

// Pass 1 into tmp.wav; tells what was found of the movie's audio.
bool extract_audio(conversion& job, std::FILE* input, std::uint8_t* sector, found_audio& audio)
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
    audio = demux_audio(input, wav.get(), sector, job.options.level, job.log);
    if (audio == found_audio::copyable)
        tell(job.log, "vornalt: no ADX audio found in %s; its audio packets are copied as they are\n",
             job.input.c_str());
    if (audio == found_audio::none) tell(job.log, "vornalt: no ADX audio found in %s\n", job.input.c_str());
    if (!wav.close_written()) {
        const int err = errno;
        say(job.log, "can't write tmp.wav\n");
        tell_reason(job.log, path, err);
        return false;
    }
    return true;
}

// The encoder makes tmp.mp3 of tmp.wav; a movie whose audio is copied needs none.
bool encode_audio(conversion& job, std::FILE* input, found_audio audio)
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
    if (audio == found_audio::copyable) return true;
    const encode_files files{job.temp_dir, job.side_by_side, job.log};
    if (job.encoder.what == encoder_choice::builtin) return encode_builtin(job.encoder.bitrate, files);
    return encode_with_command(job.encoder.command, files);
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

// Opens tmp.mp3 and reads the bit rate where its audio starts.
bool open_encoded_audio(conversion& job, std::uint8_t* sector, file_handle& mp3, int& byte_rate)
{
    const std::string path = job.temp_file("tmp.mp3");
    if (!mp3.open(path.c_str(), "rb")) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell_reason(job.log, path, mp3.open_error());
        return false;
    }
    const audio_probe probe = probe_byte_rate(mp3.get(), sector, job.options.verbose ? &job.log : nullptr);
    byte_rate = probe.byte_rate;
    if (probe.byte_rate <= 0) {
        say(job.log, "bad mpeg audio header\n");
        return false;
    }
    // The stamps assume one bit rate throughout.
    if (probe.variable) {
        say(job.log, "variable bit rate audio is not supported\n");
        return false;
    }
    return true;
}

// Pass 2 from the input and tmp.mp3 into the output; a movie whose audio is
// copied keeps its audio sectors as they are.
bool write_movie(conversion& job, std::FILE* input, std::uint8_t* sector, found_audio audio)
{
    say(job.log, "pass 2\n");
    std::rewind(input);
    file_handle mp3;
    int byte_rate = 0;
    if (audio != found_audio::copyable && !open_encoded_audio(job, sector, mp3, byte_rate)) return false;
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
    const long rest = remux_audio(input, mp3.get(), output.get(), sector, byte_rate, job.log, job.options.verbose);
    if (!output.close_written()) {
        const int err = errno;
        say(job.log, "can't write %s\n", job.output.c_str());
        tell_reason(job.log, job.output, err);
        std::remove(job.output.c_str());
        return false;
    }
    if (rest > 0) {
        warn_lost_audio(job, rest, byte_rate);
        return false;
    }
    return true;
}

// The standard encoder when it is on the PATH, else the built-in; said once
// per run when it is the built-in.
encoder_choice default_encoder()
{
    if (is_program_found(standard_encoder)) return {encoder_choice::external, standard_encoder, nullptr};
    std::fflush(stdout);
    std::fprintf(stderr, "vornalt: %s not found; encoding with the built-in MPEG audio layer II encoder\n",
                 standard_encoder);
    return {encoder_choice::builtin, nullptr, nullptr};
}

// The inputs of a run and what it was asked to do.
struct run_plan {
    enum { convert, help, version, bad_parallel, bad_bitrate } what = convert;
    std::vector<conversion> jobs;
    unsigned parallel = 1;  // conversions at once
};

bool is_help(const char* arg)
{
    return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-help") == 0 || std::strcmp(arg, "--help") == 0;
}

// The number of an option, attached (-j4) or the next argument: its digits,
// or null when it is missing or not all digits.
const char* option_number(int argc, char** argv, int& i)
{
    const char* text = argv[i][2] != '\0' ? argv[i] + 2 : (++i < argc ? argv[i] : "");
    if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) return nullptr;
    return text;
}

// The number of -j; 0 stands for one conversion per processor.
bool parse_parallel(int argc, char** argv, int& i, unsigned& parallel)
{
    const char* text = option_number(argc, argv, i);
    if (text == nullptr) return false;
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
        if (arg[1] == 'c' && ++i < argc) options.encoder = {encoder_choice::external, argv[i], nullptr};
        if (arg[1] == 'b') {
            const char* bitrate = option_number(argc, argv, i);
            if (bitrate == nullptr) {
                plan.what = run_plan::bad_bitrate;
                return plan;
            }
            options.encoder = {encoder_choice::builtin, nullptr, bitrate};
        }
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

// Gives every input without -c or -b the default encoder, found once.
void choose_encoders(std::vector<conversion>& jobs)
{
    encoder_choice fallback;
    for (conversion& job : jobs) {
        job.encoder = job.options.encoder;
        if (job.encoder.what != encoder_choice::standard) continue;
        if (fallback.what == encoder_choice::standard) fallback = default_encoder();
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
    found_audio audio = found_audio::none;
    if (!extract_audio(job, input.get(), sector, audio)) return -1;
    if (!encode_audio(job, input.get(), audio)) return -1;
    if (!write_movie(job, input.get(), sector, audio)) return -1;
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
    case run_plan::bad_bitrate:
        std::fprintf(stderr, "vornalt: -b takes a bit rate in kbit/s, as in -b 192\n");
        return -1;
    case run_plan::convert:
        break;
    }
    choose_encoders(plan.jobs);
    const std::vector<int> results = run_conversions(plan.jobs, plan.parallel);
    tell_failures(plan.jobs, results);
    return std::count_if(results.begin(), results.end(), [](int r) { return r < 0; }) > 0 ? 1 : 0;
}
