#include "cli.h"

#include "batch.h"
#include "job.h"
#include "platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

// The standard encoder when it is on the PATH, else the built-in; said once
// per run when it is the built-in.
encoder_choice default_encoder(messages& console)
{
    if (is_program_found(standard_encoder)) return {encoder_choice::external, standard_encoder, nullptr};
    tell(console, "vornalt: %s not found; encoding with the built-in MPEG audio layer II encoder\n", standard_encoder);
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

// The number of -j; 0 stands for one conversion per processor. Either is
// held to the most conversions that run at once.
bool parse_parallel(int argc, char** argv, int& i, unsigned& parallel)
{
    const char* text = option_number(argc, argv, i);
    if (text == nullptr) return false;
    const unsigned long n = std::strtoul(text, nullptr, 10);
    parallel = static_cast<unsigned>(std::min<unsigned long>(n == 0 ? processor_count() : n, max_side_by_side));
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
void choose_encoders(std::vector<conversion>& jobs, messages& console)
{
    encoder_choice fallback;
    for (conversion& job : jobs) {
        job.encoder = job.options.encoder;
        if (job.encoder.what != encoder_choice::standard) continue;
        if (fallback.what == encoder_choice::standard) fallback = default_encoder(console);
        job.encoder = fallback;
    }
}

// "vornalt: N of M movies failed: A, B", naming at most ten.
void tell_failures(const std::vector<conversion>& jobs, const std::vector<bool>& results, messages& console)
{
    constexpr std::size_t named = 10;
    std::size_t failed = 0;
    std::string names;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (results[i]) continue;
        if (failed < named) names += (failed > 0 ? ", " : "") + jobs[i].input;
        ++failed;
    }
    if (failed == 0) return;
    if (failed > named) names += ", and " + std::to_string(failed - named) + " more";
    tell(console, "vornalt: %s of %s movies failed: %s\n", std::to_string(failed).c_str(),
         std::to_string(jobs.size()).c_str(), names.c_str());
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

int run(int argc, char** argv)
{
    messages console;  // what the run itself prints, at once
    if (argc < 2) {
        say(console, "%s", usage_text);
        tell(console, "vornalt: -h lists the options\n");
        return -1;
    }
    run_plan plan = parse_arguments(argc, argv);
    switch (plan.what) {
    case run_plan::help:
        say(console, "%s", help_text);
        return 0;
    case run_plan::version:
        say(console, "vornalt %s\n", VORNALT_VERSION);
        return 0;
    case run_plan::bad_parallel:
        tell(console, "vornalt: -j takes a number of conversions, as in -j 4\n");
        return -1;
    case run_plan::bad_bitrate:
        tell(console, "vornalt: -b takes a bit rate in kbit/s, as in -b 192\n");
        return -1;
    case run_plan::convert:
        break;
    }
    choose_encoders(plan.jobs, console);
    const std::vector<bool> results = run_conversions(plan.jobs, plan.parallel);
    tell_failures(plan.jobs, results, console);
    return std::find(results.begin(), results.end(), false) != results.end() ? 1 : 0;
}
